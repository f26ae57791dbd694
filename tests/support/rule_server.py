#!/usr/bin/env python3
"""Loopback HTTPS rule server for kiv's tests and demo.

  rule_server.py --dir DIR [--certs CERTDIR] [--control FILE]
  rule_server.py --certs CERTDIR --certs-only

CERTDIR (default DIR/certs) holds a throw-away CA, the server's certificate for 127.0.0.1, one for
another host name and one signed by a CA the client does not trust; they are made once with the
openssl command and shared by later runs (--certs-only makes them and ends: the nginx rule
server's tests and demo use them too). DIR receives ca.pem (the trust store for KIV_CA_BUNDLE),
`port` (written last, once every listener is up), the ports of the fault listeners and
requests.jsonl (one JSON record per request, form fields in wire order).

The control file (default DIR/control.json), read afresh for every request, is JSON:
{"status": 200, "body_file": PATH, "delay": 0, "retry_after": null, "mode": ""}; "retry_after"
(a text) is sent as the answer's Retry-After header, as a server that sheds load answers 503 or
429. A request's record holds, beside its fields, "report": its KivReport field read as JSON (the
fleet report), when it has one. "mode" picks a faulty answer once
the request is read: "stall" (no byte), "reset" (a TCP reset), "garbage" (no HTTP inside TLS),
"huge" (an endless body) or "stall_body" (half the body, then silence). Three more listeners:
garbage_port speaks no TLS, wrong_name_port has the right CA's certificate for another name,
untrusted_port the right name signed by the untrusted CA."""
import argparse, contextlib, email.parser, email.policy, http.server, json, os, pathlib, shutil
import socket, socketserver, ssl, struct, subprocess, tempfile, threading, time

stopping = False  # set on the way out: answers that hold the connection let go
record_lock = threading.Lock()  # one request record at a time, from every listener


def make_certs(d):
    if os.path.exists(os.path.join(d, "done")):
        return
    parent = os.path.dirname(os.path.abspath(d))
    os.makedirs(parent, exist_ok=True)
    tmp = tempfile.mkdtemp(dir=parent)

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, cwd=tmp, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "wrong_ca"):
        openssl("req", "-x509", *ec, "-days", "30", "-subj", "/CN=kiv test " + ca,
                "-keyout", ca + ".key", "-out", ca + ".pem")
    for name, cn, alt, ca in (("server", "127.0.0.1", "IP:127.0.0.1,DNS:localhost", "ca"),
                              ("other", "rules.other.invalid", "DNS:rules.other.invalid", "ca"),
                              ("untrusted", "127.0.0.1", "IP:127.0.0.1,DNS:localhost", "wrong_ca")):
        with open(os.path.join(tmp, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                    % alt)
        openssl("req", *ec, "-subj", "/CN=" + cn, "-keyout", name + ".key", "-out", name + ".csr")
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-days", "30", "-extfile", name + ".ext", "-out", name + ".pem")
    open(os.path.join(tmp, "done"), "w").close()
    try:
        os.rename(tmp, d)  # made whole or not at all; a run that lost the race uses the winner's
    except OSError:
        shutil.rmtree(tmp, ignore_errors=True)


def fields_of(content_type, body):
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
    return [{"name": p.get_param("name", header="content-disposition"),
             "filename": p.get_filename(), "content_type": p.get("Content-Type"),
             "value": p.get_payload(decode=True).decode("utf-8", "replace")}
            for p in msg.iter_parts()] if msg.is_multipart() else []


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        record = {"method": self.command, "path": self.path,
                  "fields": fields_of(self.headers.get("Content-Type", ""), body)}
        for field in record["fields"]:
            if field["name"] == "KivReport":
                try:
                    record["report"] = json.loads(field["value"])
                except ValueError as e:
                    record["report"] = {"not JSON": str(e)}
        # The answer is chosen before the request is recorded: a test that changes the answer once
        # it sees N requests changes the answer of the later ones only.
        try:
            c = json.loads(pathlib.Path(self.server.control_path).read_text())
        except (OSError, ValueError):
            c = {}
        with record_lock, open(self.server.record_path, "a") as f:
            f.write(json.dumps(record) + "\n")
        mode = c.get("mode") or "plain"
        if mode == "reset":  # a zero linger time makes the close send a reset instead of a FIN
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        elif mode == "garbage":
            self.wfile.write(b"\x00\xffnot an answer at all\r\n\r\n" + os.urandom(512))
        elif mode == "huge":
            self.head(200, None)
            with contextlib.suppress(OSError):  # the client gives up: that is what this is for
                while not stopping:
                    self.wfile.write(b"K" * 65536)
        elif mode == "plain":
            time.sleep(float(c.get("delay", 0)))
            data = pathlib.Path(c["body_file"]).read_bytes() if c.get("body_file") else b""
            self.head(c.get("status", 200), len(data), c.get("retry_after"))
            self.wfile.write(data)
            return
        elif mode in ("stall", "stall_body"):  # no byte, or half of a body; then silence
            if mode == "stall_body":
                self.head(200, 4096)
                self.wfile.write(b"S" * 2048)
            while not stopping:
                time.sleep(0.1)
        else:
            raise ValueError("no answer mode " + mode)
        self.close_connection = True

    def head(self, status, length, retry_after=None):
        self.send_response(int(status))
        self.send_header("Content-Type", "application/octet-stream")
        if retry_after is not None:
            self.send_header("Retry-After", str(retry_after))
        self.send_header(*(("Connection", "close") if length is None
                           else ("Content-Length", str(length))))
        self.end_headers()


class PlainGarbage(socketserver.BaseRequestHandler):
    def handle(self):
        with contextlib.suppress(OSError):
            self.request.recv(4096)
            self.request.sendall(b"HTTP/1.1 200 OK\r\n\r\nno TLS" + os.urandom(256))


def main():
    global stopping
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir")
    ap.add_argument("--certs")
    ap.add_argument("--control")
    ap.add_argument("--certs-only", action="store_true")
    a = ap.parse_args()
    if a.certs_only and a.certs:
        make_certs(a.certs)
        return
    if not a.dir:
        ap.error("--dir is needed (or --certs CERTDIR --certs-only)")
    os.makedirs(a.dir, exist_ok=True)
    certs = a.certs or os.path.join(a.dir, "certs")
    make_certs(certs)
    shutil.copyfile(os.path.join(certs, "ca.pem"), os.path.join(a.dir, "ca.pem"))
    record_path = os.path.join(a.dir, "requests.jsonl")
    open(record_path, "a").close()

    def listen(name, srv, cert=None):
        srv.daemon_threads, srv.record_path = True, record_path
        srv.control_path = a.control or os.path.join(a.dir, "control.json")
        if cert:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*(os.path.join(certs, cert + ext) for ext in (".pem", ".key")))
            srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
        threading.Thread(target=srv.serve_forever, daemon=True).start()
        pathlib.Path(a.dir, name + ".tmp").write_text("%d\n" % srv.server_address[1])
        os.replace(os.path.join(a.dir, name + ".tmp"), os.path.join(a.dir, name))

    listen("garbage_port", socketserver.ThreadingTCPServer(("127.0.0.1", 0), PlainGarbage))
    for name, cert in (("wrong_name_port", "other"), ("untrusted_port", "untrusted"),
                       ("port", "server")):  # port last: who sees it finds every listener up
        listen(name, http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler), cert)
    print("rule server on https://127.0.0.1:%s" % open(os.path.join(a.dir, "port")).read().strip(),
          flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        stopping = True


if __name__ == "__main__":
    main()
