#!/usr/bin/env python3
"""An RFC 3161 time-stamp authority for tests, on 127.0.0.1 only: each
query POSTed to it is answered by `openssl ts -reply` with the TSA that
CONFIG (an openssl ts configuration) names. Prints the port it listens on.

    timestamp_authority.py CONFIG
"""
import http.server
import subprocess
import sys
import tempfile


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.NamedTemporaryFile() as query_file, tempfile.NamedTemporaryFile() as reply_file:
            query_file.write(query)
            query_file.flush()
            answered = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile",
                                       query_file.name, "-out", reply_file.name], capture_output=True)
            reply = reply_file.read()
        if answered.returncode != 0 or not reply:
            self.send_error(500, answered.stderr.decode(errors="replace")[-200:])
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *arguments):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_address[1], flush=True)
server.serve_forever()
