#!/usr/bin/env python3
"""Loopback HTTPS rule server for kiv's tests and demo.

Makes a throw-away CA and a server certificate for 127.0.0.1/localhost with the openssl
command, serves POST requests over HTTPS and records each request as one JSON line.

  rule_server.py --dir DIR [--port 0] [--control FILE]

DIR receives ca.pem (the trust store for KIV_CA_BUNDLE), wrong_ca.pem (a CA that did not sign
the server), port (the port actually bound) and requests.jsonl. The control file, read afresh
for every request, is JSON: {"status": 200, "body_file": PATH, "body_hex": "..", "delay": 0,
"stall": false}. Without it the server answers 200 with an empty body.
"""
import argparse
import email.parser
import email.policy
import http.server
import json
import os
import ssl
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
    ext = os.path.join(d, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", os.path.join(d, "server.key"), "-out", os.path.join(d, "server.csr"))
    run("x509", "-req", "-in", os.path.join(d, "server.csr"), "-CA", os.path.join(d, "ca.pem"),
        "-CAkey", os.path.join(d, "ca.key"), "-CAcreateserial", "-days", "2",
        "-extfile", ext, "-out", os.path.join(d, "server.pem"))


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--control")
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    make_certs(a.dir)
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", a.port), Handler)
    srv.daemon_threads = True
    srv.lock = threading.Lock()
    srv.stopping = False
    srv.control_path = a.control
    srv.record_path = os.path.join(a.dir, "requests.jsonl")
    open(srv.record_path, "a").close()
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(a.dir, "server.pem"), os.path.join(a.dir, "server.key"))
    srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    tmp = os.path.join(a.dir, "port.tmp")
    with open(tmp, "w") as f:
        f.write("%d\n" % srv.server_address[1])
    os.replace(tmp, os.path.join(a.dir, "port"))
    print("rule server on https://127.0.0.1:%d" % srv.server_address[1], flush=True)
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        srv.stopping = True


if __name__ == "__main__":
    sys.exit(main())
