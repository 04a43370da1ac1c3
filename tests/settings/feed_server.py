#!/usr/bin/env python3
"""A local HTTPS server for update-check tests and the update benchmark.

Serves the files of --dir and a few misbehaving answers; prints "port N" once it listens and
"GET <path>" for every request, so a test can count requests.

  /feed/NAME            the file with its Content-Length
  /stream/NAME          the file without a length (the connection's end marks the end)
  /missing              404 Not Found
  /redirect-http/NAME   302 to the same file over plain http
  /hang                 accepts the request and never answers
"""
import argparse
import http.server
import os
import ssl
import sys
import threading
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--dir", required=True)
    ap.add_argument("--port", type=int, default=0)
    args = ap.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    stop = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *a):
            pass

        def file(self, name):
            path = os.path.join(args.dir, os.path.basename(name))
            with open(path, "rb") as f:
                return f.read()

        def do_GET(self):
            print("GET " + self.path, flush=True)
            p = self.path
            try:
                if p.startswith("/feed/"):
                    body = self.file(p[len("/feed/"):])
                    self.send_response(200)
                    self.send_header("Content-Type", "application/rss+xml")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                elif p.startswith("/stream/"):
                    body = self.file(p[len("/stream/"):])
                    self.send_response(200)
                    self.send_header("Content-Type", "application/rss+xml")
                    self.end_headers()
                    for i in range(0, len(body), 65536):
                        self.wfile.write(body[i:i + 65536])
                elif p == "/missing":
                    self.send_error(404)
                elif p.startswith("/redirect-http/"):
                    self.send_response(302)
                    port = self.server.server_address[1]
                    self.send_header("Location", "http://127.0.0.1:%d/feed/%s" % (port, p[len("/redirect-http/"):]))
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                elif p == "/hang":
                    stop.wait(3600)
                else:
                    self.send_error(400)
            except (OSError, ssl.SSLError):
                pass

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        # The handshake runs in the request's own thread, so a client that fails it (an untrusted
        # certificate) or never finishes it holds up no other client.
        def finish_request(self, request, client_address):
            try:
                tls = context.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return
            self.RequestHandlerClass(tls, client_address, self)

        def handle_error(self, request, client_address):
            pass

    server = Server(("127.0.0.1", args.port), Handler)
    print("port %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    stop.set()


if __name__ == "__main__":
    sys.exit(main())
