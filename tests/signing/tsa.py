#!/usr/bin/env python3
"""A time-stamping authority on the loopback address, for signing tests.

    tsa.py FOLDER

FOLDER is what make-certificates.sh made. Answers RFC 3161 requests (HTTP POST, any path) with
`openssl ts -reply` and tsa.cnf. Prints the address it listens on, then serves until it is ended.

It listens on the port of its last run in FOLDER (tsa.port) when that port is free: the address
is part of the build's signing step, and the same address lets an unchanged wizard stay linked.
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


def listen():
    remembered = os.path.join(folder, "tsa.port")
    try:
        with open(remembered) as file:
            return http.server.HTTPServer(("127.0.0.1", int(file.read())), TimeStamping)
    except (OSError, ValueError):
        pass  # no earlier port, or another program has it now: any free port will do
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamping)
    with open(remembered, "w") as file:
        file.write(str(server.server_address[1]))
    return server


server = listen()
print(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
server.serve_forever()
