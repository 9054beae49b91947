#!/usr/bin/env python3
"""A real HTTP server on 127.0.0.1 for the update-check tests.

    http_server.py file PATH    every GET answers with the bytes of PATH
    http_server.py hang         accepts connections and never answers

Prints the port it listens on, then serves until its standard input closes.
"""
import http.server
import socketserver
import sys
import threading
import time

mode = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if mode == "hang":
            time.sleep(3600)
            return
        if mode == "file":
            with open(sys.argv[2], "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
sys.stdin.read()
