#!/usr/bin/env python3
"""Loopback HTTPS rule server for kiv's tests and demo.

Makes a throw-away CA and a server certificate for 127.0.0.1/localhost with the openssl
command, serves POST requests over HTTPS and records each request as one JSON line.

  rule_server.py --dir DIR [--port 0] [--control FILE]

DIR receives ca.pem (the trust store for KIV_CA_BUNDLE), wrong_ca.pem (a CA that did not sign
the server), port (the port actually bound) and requests.jsonl. The control file, read afresh
for every request, is JSON: {"status": 200, "body_file": PATH, "body_hex": "..", "delay": 0,
"stall": false, "mode": ""}. Without it the server answers 200 with an empty body.

"mode" picks a faulty answer to a request that has been read: "reset" (the connection is torn
down with a TCP reset, no answer), "garbage" (bytes that are no HTTP over the TLS connection),
"huge" (status 200 and "huge_bytes" bytes of body with no length, until the client goes), and
"stall_body" (the head and half of the body, then silence until the server ends).

Two more listeners share the CA: garbage_port answers every connection with plain bytes that are
no TLS at all, wrong_name_port serves a certificate of the right CA for another host name, and
untrusted_port a certificate for the right name signed by wrong_ca.
"""
import argparse
import email.parser
import email.policy
import http.server
import json
import os
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time


def make_certs(d):
    def run(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    for name in ("ca", "wrong_ca"):
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=kiv test " + name, "-keyout", os.path.join(d, name + ".key"),
            "-out", os.path.join(d, name + ".pem"))
    def path(name):
        return os.path.join(d, name)

    def extensions(name, alt_names):
        ext = path(name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=" + alt_names + "\n"
                    "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n")
        return ext

    def request(name, common_name):
        run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + common_name,
            "-keyout", path(name + ".key"), "-out", path(name + ".csr"))

    def sign(csr, ca, ext, out):
        run("x509", "-req", "-in", path(csr + ".csr"), "-CA", path(ca + ".pem"),
            "-CAkey", path(ca + ".key"), "-CAcreateserial", "-days", "2",
            "-extfile", ext, "-out", path(out + ".pem"))

    server_ext = extensions("server", "IP:127.0.0.1,DNS:localhost")
    request("server", "127.0.0.1")
    sign("server", "ca", server_ext, "server")
    # Signed by the right CA, but for a name that is not the address the client dials.
    request("other", "rules.other.invalid")
    sign("other", "ca", extensions("other", "DNS:rules.other.invalid"), "other")
    # The right name, signed by the CA that the client does not trust.
    sign("server", "wrong_ca", server_ext, "untrusted")


def parse_fields(content_type, body):
    """The multipart parts as [name, value] in wire order, through the stdlib MIME parser."""
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
    fields = []
    if msg.is_multipart():
        for part in msg.iter_parts():
            fields.append({"name": part.get_param("name", header="content-disposition"),
                           "filename": part.get_filename(),
                           "content_type": part.get("Content-Type"),
                           "value": part.get_payload(decode=True).decode("utf-8", "replace")})
    return fields


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def control(self):
        path = self.server.control_path
        if path and os.path.exists(path):
            try:
                with open(path) as f:
                    return json.load(f)
            except (OSError, ValueError):
                pass
        return {}

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        record = {"method": self.command, "path": self.path, "headers": dict(self.headers),
                  "fields": parse_fields(self.headers.get("Content-Type", ""), body)}
        with self.server.lock, open(self.server.record_path, "a") as f:
            f.write(json.dumps(record) + "\n")
        self.answer()

    def do_GET(self):
        with self.server.lock, open(self.server.record_path, "a") as f:
            f.write(json.dumps({"method": "GET", "path": self.path,
                                "headers": dict(self.headers), "fields": []}) + "\n")
        self.answer()

    def answer(self):
        c = self.control()
        mode = c.get("mode", "")
        if mode == "reset":
            # SO_LINGER with a zero time makes the close send a reset instead of a FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        if mode == "garbage":
            self.wfile.write(b"\x00\xffnot an answer at all\r\n\r\n" + os.urandom(512))
            self.wfile.flush()
            self.close_connection = True
            return
        if mode == "huge":
            self.close_connection = True
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Connection", "close")
            self.end_headers()
            left = int(c.get("huge_bytes", 64 << 20))
            block = b"K" * 65536
            try:
                while left > 0 and not self.server.stopping:
                    n = min(left, len(block))
                    self.wfile.write(block[:n])
                    left -= n
            except OSError:
                pass  # the client gave up: that is what this answer is for
            return
        if mode == "stall_body":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", "4096")
            self.end_headers()
            self.wfile.write(b"S" * 2048)
            self.wfile.flush()
            while not self.server.stopping:
                time.sleep(0.1)
            return
        if c.get("stall"):
            # Holds the connection open without a byte until the server ends.
            while not self.server.stopping:
                time.sleep(0.1)
            return
        time.sleep(float(c.get("delay", 0)))
        data = b""
        if c.get("body_file"):
            with open(c["body_file"], "rb") as f:
                data = f.read()
        elif c.get("body_hex"):
            data = bytes.fromhex(c["body_hex"])
        status = int(c.get("status", 200))
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class PlainGarbage(socketserver.BaseRequestHandler):
    """Answers whatever comes with bytes that are no TLS record, then closes."""

    def handle(self):
        try:
            self.request.recv(4096)
            self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello" +
                                 os.urandom(256))
        except OSError:
            pass


def publish(d, name, port):
    tmp = os.path.join(d, name + ".tmp")
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, os.path.join(d, name))


def serve_in_background(server):
    t = threading.Thread(target=server.serve_forever, daemon=True)
    t.start()


def tls_server(port, directory, cert, key, control_path, record_path, lock):
    """An HTTPS listener of the rule server; all of them share the control and the record."""
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    srv.daemon_threads = True
    srv.lock = lock
    srv.stopping = False
    srv.control_path = control_path
    srv.record_path = record_path
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(directory, cert), os.path.join(directory, key))
    srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    return srv


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--control")
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    make_certs(a.dir)
    record_path = os.path.join(a.dir, "requests.jsonl")
    open(record_path, "a").close()
    lock = threading.Lock()
    srv = tls_server(a.port, a.dir, "server.pem", "server.key", a.control, record_path, lock)

    garbage = socketserver.ThreadingTCPServer(("127.0.0.1", 0), PlainGarbage)
    garbage.daemon_threads = True
    serve_in_background(garbage)
    publish(a.dir, "garbage_port", garbage.server_address[1])

    tls_listeners = []
    for name, cert, key in (("wrong_name_port", "other.pem", "other.key"),
                            ("untrusted_port", "untrusted.pem", "server.key")):
        extra = tls_server(0, a.dir, cert, key, a.control, record_path, lock)
        serve_in_background(extra)
        publish(a.dir, name, extra.server_address[1])
        tls_listeners.append(extra)

    # Written last: a client that sees it finds every listener up.
    publish(a.dir, "port", srv.server_address[1])
    print("rule server on https://127.0.0.1:%d" % srv.server_address[1], flush=True)
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        srv.stopping = True
        for extra in tls_listeners:
            extra.stopping = True


if __name__ == "__main__":
    sys.exit(main())
