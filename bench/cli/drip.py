#!/usr/bin/env python3
"""A stand-in application server that answers the opening, then starts a valid
GetPrincipal reply and sends one more byte every INTERVAL seconds, for ever.
Usage: bench/cli/drip.py PORT [INTERVAL]"""
import http.server
import sys
import time

OBJECT = b'{"object":"Krt52410.rdmExportaDotz","methods":["GetPrincipal"]}'
HEAD = b'{"jsonrpc":"2.0","id":1,"result":{"ok":true,"data":['
interval = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0


class Drip(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(OBJECT)))
        self.end_headers()
        self.wfile.write(OBJECT)

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(1 << 20))
        self.end_headers()
        self.wfile.write(HEAD)
        self.wfile.flush()
        try:
            while True:
                time.sleep(interval)
                self.wfile.write(b" ")
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Drip).serve_forever()
