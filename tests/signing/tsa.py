#!/usr/bin/env python3
"""A time-stamping authority on the loopback address, for signing tests.

    tsa.py FOLDER

FOLDER is what make-certificates.sh made. Answers RFC 3161 requests (HTTP POST, any path) with
`openssl ts -reply` and tsa.cnf. Prints the address it listens on, then serves until it is ended.
"""
import http.server
import os
import subprocess
import sys
import tempfile

folder = sys.argv[1]


class TimeStamping(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.NamedTemporaryFile(suffix=".tsq") as file:
            file.write(query)
            file.flush()
            reply = subprocess.run(
                ["openssl", "ts", "-reply", "-config", os.path.join(folder, "tsa.cnf"), "-queryfile", file.name],
                capture_output=True)
        if reply.returncode != 0:
            self.send_error(500, reply.stderr.decode(errors="replace").strip()[:200])
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *arguments):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamping)
print(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
server.serve_forever()
