#!/usr/bin/env python3
"""A slow front for a release site, for watching the progress window.

    throttle.py UPSTREAM_URL SECONDS

Listens on 127.0.0.1 at a free port and prints "listening on
http://127.0.0.1:PORT/" as its first line. Every GET is passed on to
UPSTREAM_URL unchanged and the answer is sent back unchanged, except that the
body of an executable (a request with f=exe in its query, or for a path ending
in .exe) is sent in 50 slices spread over SECONDS. A download over loopback
is otherwise over before the window has had time to show itself.

One line per request goes to standard output, and one "sent N of M" line per
slice of an executable, so a script can wait for a given point of a download.
"""

import http.server
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

SLICES = 50


def is_executable(path):
    parts = urllib.parse.urlsplit(path)
    query = urllib.parse.parse_qs(parts.query)
    # The whole executable, its compressed copy or a delta: every way to it.
    return "exe" in query.get("f", []) or parts.path.lower().endswith((".exe", ".gz", ".vdelta"))


def log(line):
    print(line, flush=True)


def make_handler(upstream, seconds):
    # No proxy from the environment: the upstream is on this machine.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            url = upstream + self.path.lstrip("/")
            try:
                with opener.open(url, timeout=30) as answer:
                    status, headers, body = answer.status, answer.headers, answer.read()
            except urllib.error.HTTPError as error:
                status, headers, body = error.code, error.headers, error.read()
            except OSError as error:
                status, headers, body = 502, {}, str(error).encode()
            log(f"GET {self.path} {status} {len(body)}")

            self.send_response(status)
            content_type = headers.get("Content-Type") if headers else None
            if content_type:
                self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()

            if status != 200 or not is_executable(self.path) or not body:
                self.wfile.write(body)
                return
            step = -(-len(body) // SLICES)
            for start in range(0, len(body), step):
                self.wfile.write(body[start:start + step])
                self.wfile.flush()
                log(f"sent {min(start + step, len(body))} of {len(body)}")
                time.sleep(seconds / SLICES)

        def log_message(self, *args):
            pass  # one line per request is logged above

    return Handler


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: throttle.py UPSTREAM_URL SECONDS")
    upstream = sys.argv[1] if sys.argv[1].endswith("/") else sys.argv[1] + "/"
    seconds = float(sys.argv[2])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(upstream, seconds))
    log(f"listening on http://127.0.0.1:{server.server_address[1]}/")
    server.serve_forever()


if __name__ == "__main__":
    main()
