#!/usr/bin/env python3
"""Loopback HTTPS rule server for kiv's tests and demo.

  rule_server.py --dir DIR [--certs CERTDIR] [--control FILE]

CERTDIR (default DIR/certs) holds a throw-away CA, the server's certificate for 127.0.0.1, one
for another host name and one signed by a CA the client does not trust; they are made once with
the openssl command and shared by later runs. DIR receives ca.pem (the trust store for
KIV_CA_BUNDLE), `port` (written last, once every listener is up), the ports of the fault listeners and
requests.jsonl (one JSON record per request, form fields in wire order).

The control file, read afresh for every request, is JSON: {"status": 200, "body_file": PATH,
"delay": 0, "mode": ""}. "mode" picks a faulty answer once the request is read: "stall" (no
byte), "reset" (a TCP reset), "garbage" (no HTTP inside TLS), "huge" (an endless body) or
"stall_body" (half the body, then silence). Three more listeners: garbage_port speaks no TLS,
wrong_name_port has the right CA's certificate for another name, untrusted_port the right name
signed by the untrusted CA.
"""
import argparse
import email.parser
import email.policy
import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import struct
import subprocess
import tempfile
import threading
import time


def make_certs(d):
    if os.path.exists(os.path.join(d, "done")):
        return
    os.makedirs(os.path.dirname(os.path.abspath(d)), exist_ok=True)
    tmp = tempfile.mkdtemp(dir=os.path.dirname(os.path.abspath(d)))

    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=tmp, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def cert(name, cn, alt, ca):
        with open(os.path.join(tmp, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                    % alt)
        run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-subj", "/CN=" + cn, "-keyout", name + ".key", "-out", name + ".csr")
        run("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
            "-CAcreateserial", "-days", "30", "-extfile", name + ".ext", "-out", name + ".pem")

    for ca in ("ca", "wrong_ca"):
        run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-days", "30", "-subj", "/CN=kiv test " + ca, "-keyout", ca + ".key",
            "-out", ca + ".pem")
    cert("server", "127.0.0.1", "IP:127.0.0.1,DNS:localhost", "ca")
    cert("other", "rules.other.invalid", "DNS:rules.other.invalid", "ca")
    cert("untrusted", "127.0.0.1", "IP:127.0.0.1,DNS:localhost", "wrong_ca")
    open(os.path.join(tmp, "done"), "w").close()
    try:
        os.rename(tmp, d)  # made whole or not at all; a run that lost the race uses the winner's
    except OSError:
        shutil.rmtree(tmp, ignore_errors=True)


def fields_of(content_type, body):
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
    if not msg.is_multipart():
        return []
    return [{"name": p.get_param("name", header="content-disposition"),
             "filename": p.get_filename(), "content_type": p.get("Content-Type"),
             "value": p.get_payload(decode=True).decode("utf-8", "replace")}
            for p in msg.iter_parts()]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        record = {"method": self.command, "path": self.path,
                  "fields": fields_of(self.headers.get("Content-Type", ""), body)}
        with self.server.lock, open(self.server.record_path, "a") as f:
            f.write(json.dumps(record) + "\n")
        try:
            with open(self.server.control_path) as f:
                c = json.load(f)
        except (OSError, ValueError):
            c = {}
        getattr(self, "answer_" + (c.get("mode") or "plain"))(c)

    def hold(self):
        while not self.server.stopping:
            time.sleep(0.1)

    def answer_stall(self, c):
        self.hold()

    def answer_reset(self, c):
        # A zero linger time makes the close send a reset instead of a FIN.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def answer_garbage(self, c):
        self.wfile.write(b"\x00\xffnot an answer at all\r\n\r\n" + os.urandom(512))
        self.close_connection = True

    def head(self, status=200, length=None):
        self.send_response(int(status))
        self.send_header("Content-Type", "application/octet-stream")
        if length is None:
            self.send_header("Connection", "close")
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()

    def answer_huge(self, c):
        self.close_connection = True
        self.head()
        try:
            while not self.server.stopping:
                self.wfile.write(b"K" * 65536)
        except OSError:
            pass  # the client gave up: that is what this answer is for

    def answer_stall_body(self, c):
        self.head(200, 4096)
        self.wfile.write(b"S" * 2048)
        self.wfile.flush()
        self.hold()

    def answer_plain(self, c):
        time.sleep(float(c.get("delay", 0)))
        data = b""
        if c.get("body_file"):
            with open(c["body_file"], "rb") as f:
                data = f.read()
        self.head(c.get("status", 200), len(data))
        self.wfile.write(data)


class PlainGarbage(socketserver.BaseRequestHandler):
    def handle(self):
        try:
            self.request.recv(4096)
            self.request.sendall(b"HTTP/1.1 200 OK\r\n\r\nno TLS" + os.urandom(256))
        except OSError:
            pass


def listen(d, name, server):
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(d, name + ".tmp"), "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(os.path.join(d, name + ".tmp"), os.path.join(d, name))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--certs")
    ap.add_argument("--control")
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    certs = a.certs or os.path.join(a.dir, "certs")
    make_certs(certs)
    shutil.copyfile(os.path.join(certs, "ca.pem"), os.path.join(a.dir, "ca.pem"))
    record_path = os.path.join(a.dir, "requests.jsonl")
    open(record_path, "a").close()
    lock = threading.Lock()
    servers = []

    def tls(name, cert):
        srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        srv.daemon_threads, srv.lock, srv.stopping = True, lock, False
        srv.control_path = a.control or os.path.join(a.dir, "control.json")
        srv.record_path = record_path
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(certs, cert + ".pem"), os.path.join(certs, cert + ".key"))
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
        servers.append(srv)
        listen(a.dir, name, srv)

    garbage = socketserver.ThreadingTCPServer(("127.0.0.1", 0), PlainGarbage)
    garbage.daemon_threads = True
    listen(a.dir, "garbage_port", garbage)
    tls("wrong_name_port", "other")
    tls("untrusted_port", "untrusted")
    tls("port", "server")  # last: a client that sees it finds every listener up
    print("rule server on https://127.0.0.1:%s" % open(os.path.join(a.dir, "port")).read().strip(),
          flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        for s in servers:
            s.stopping = True


if __name__ == "__main__":
    main()
