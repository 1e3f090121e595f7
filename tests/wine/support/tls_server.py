#!/usr/bin/env python3
"""A small HTTPS server for the TLS tests of the HTTP client.

GET /redirect?to=URL answers 302 with Location URL; any other GET answers 200
with "hello over tls " followed by the request target. Listens on 127.0.0.1 at
a free port and writes the port to --port-file once it is ready.
"""
import argparse
import http.server
import os
import ssl
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/redirect":
            target = urllib.parse.parse_qs(url.query).get("to", [""])[0]
            self.send_response(302)
            self.send_header("Location", target)
            body = b""
        else:
            self.send_response(200)
            body = ("hello over tls " + self.path).encode()
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)

    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(temporary, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
