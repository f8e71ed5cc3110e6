#!/usr/bin/env python3
"""A timestamp authority (RFC 3161) over HTTP on loopback, for the release check.

Each POSTed request is answered by `openssl ts -reply` with the configuration given as the
first argument. Prints its port once it listens, and serves until it is stopped.
"""
import http.server
import os
import subprocess
import sys
import tempfile

CONFIG = sys.argv[1]


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as folder:
            query_file = os.path.join(folder, "query")
            reply_file = os.path.join(folder, "reply")
            with open(query_file, "wb") as out:
                out.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile",
                                   query_file, "-out", reply_file], capture_output=True)
            reply = open(reply_file, "rb").read() if made.returncode == 0 else b""
        self.send_response(200 if reply else 400)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_address[1], flush=True)
server.serve_forever()
