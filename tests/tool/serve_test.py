"""`virelo-release serve` against hostile and unusual clients: requests it
refuses from their head alone, bodies it never reads, heads that are too
large or too slow, connection limits, cache headers and validators, and TLS
handshakes that fail. Loopback only; every wait is bounded."""

import concurrent.futures
import json
import os
import re
import select
import signal
import socket
import ssl
import subprocess
import threading
import time
import unittest
import urllib.request

from serve_support import (MANIFEST, Server, answers, connect, dropped_counts, exchange, keep_alive, pipelined,
                           receive_all, resident_kib)
from tool_support import TOOL, TempFolderTest, http_get, read, run_tool



class ServeTest(TempFolderTest):
    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.exe = self.publish_demo(self.site, "5.0", "Virelo-5.0.exe", size=3 * 1024 * 1024 + 17)
        self.server = Server(self, self.site)

    def tearDown(self):
        self.server.stop()
        super().tearDown()

    def get(self, target, method="GET"):
        return http_get(self.server.port, target, method)

    def test_release_api_and_static_files(self):
        files = {name: read(os.path.join(self.site, name)) for name in ("manifest.json", "manifest.sig")}
        cases = [
            ("/api/release?f=manifest", files["manifest.json"], "application/json"),
            ("/api/release?f=sig", files["manifest.sig"], "text/plain"),
            ("/api/release?f=exe", self.exe, "application/vnd.microsoft.portable-executable"),
            ("/manifest.json", files["manifest.json"], "application/json"),
            ("/manifest.sig", files["manifest.sig"], "text/plain"),
            ("/Virelo-5.0.exe", self.exe, "application/vnd.microsoft.portable-executable"),
            ("/release.exe", self.exe, "application/vnd.microsoft.portable-executable"),
        ]
        compressed = json.loads(files["manifest.json"])["compressed"]["file"]
        cases.append(("/" + compressed, read(os.path.join(self.site, compressed)), "application/gzip"))
        for target, body, content_type in cases:
            with self.subTest(target):
                status, headers, received = self.get(target)
                self.assertEqual(status, 200)
                self.assertEqual(received, body)
                self.assertEqual(headers["Content-Length"], str(len(body)))
                self.assertTrue(headers["Content-Type"].startswith(content_type), headers)
                # Parts carry their content's digest in their names: cached for good.
                immutable = target.endswith(".gz")
                self.assertEqual(headers.get("Cache-Control") == "public, max-age=31536000, immutable", immutable,
                                 headers)
        status, headers, received = self.get("/manifest.json", "HEAD")
        self.assertEqual((status, headers["Content-Length"], received), (200, str(len(files["manifest.json"])), b""))

    def test_ranges(self):
        size = len(self.exe)
        cases = [
            ("bytes=0-9", 206, self.exe[:10]),
            ("bytes=100-", 206, self.exe[100:]),
            ("bytes=-5", 206, self.exe[-5:]),
            ("bytes=-99999999", 206, self.exe),
            ("bytes=10-99999999", 206, self.exe[10:]),  # the end is cut to the file's
            (f"bytes={size}-", 416, b""),
            (f"bytes={size + 10}-{size + 20}", 416, b""),
        ]
        for value, status, body in cases:
            with self.subTest(value):
                got_status, headers, got_body = http_get(self.server.port, "/api/release?f=exe",
                                                         headers=[("Range", value)])
                self.assertEqual(got_status, status)
                self.assertEqual(got_body, body)
                self.assertEqual(headers["Content-Length"], str(len(body)))

    def test_not_found(self):
        self.plant_unservable_entries(self.site)
        os.symlink(self.tmp, os.path.join(self.site, "up"))
        os.symlink("manifest.json", os.path.join(self.site, "alias.json"))  # inside: allowed
        targets = [
            "/api/release?f=x", "/api/release", "/api/release?f=", "/api/release?f=manifest&f=sig",
            "/api/release?F=manifest", "/api/release/?f=manifest", "/missing.exe", "/", "/sub", "/sub/",
            "/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/secret.txt",
            "/..%2fsecret.txt", "/sub/..%2f..%2fsecret.txt", "//etc/passwd", "/etc/passwd", "/%2fetc/passwd",
            "/escape.txt", "/up/secret.txt", "/.publish-abc/manifest.json", "/manifest.json%00",
            "/manifest.json/", "/..\\secret.txt",
        ]
        for target in targets:
            with self.subTest(target):
                status, headers, body = self.get(target)
                self.assertEqual(status, 404)
                self.assertNotIn(b"outside the root", body)
                self.assertEqual(headers["Content-Length"], str(len(body)))
        self.assertEqual(self.get("/alias.json")[0], 200)

    def test_exe_follows_the_current_manifest(self):
        newer = self.publish_demo(self.site, "5.1", "Virelo-5.1.exe", seed=9)
        self.assertEqual(self.get("/api/release?f=exe")[2], newer)
        self.assertIn(b'"5.1"', self.get("/api/release?f=manifest")[2])
        # A manifest that names a missing file gives 404, not the old file.
        os.remove(os.path.join(self.site, "Virelo-5.1.exe"))
        self.assertEqual(self.get("/api/release?f=exe")[0], 404)

    def test_one_log_line_per_request(self):
        targets = ["/api/release?f=manifest", "/api/release?f=exe", "/nothing", "/api/release?f=zz"]
        for target in targets:
            self.get(target)
        deadline = time.monotonic() + 5
        while len(self.server.log_lines()) < len(targets) and time.monotonic() < deadline:
            time.sleep(0.02)
        lines = self.server.log_lines()
        self.assertEqual(len(lines), len(targets), lines)
        pattern = r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ 127\.0\.0\.1:\d+ GET (\S+) (\d{3}) (\d+)$"
        # Each event loop writes its own lines, so two requests in a row may
        # be logged in either order under load.
        seen = {m.group(1): m.groups()[1:] for m in (re.match(pattern, line) for line in lines)}
        self.assertEqual(seen["/api/release?f=manifest"][0], "200")
        self.assertEqual(seen["/api/release?f=exe"], ("200", str(len(self.exe))))
        self.assertEqual(seen["/nothing"][0], "404")
        self.assertEqual(seen["/api/release?f=zz"][0], "404")

    def test_many_clients_at_once(self):
        def fetch(i):
            target = "/api/release?f=exe" if i % 2 else "/manifest.json"
            return target, self.get(target)

        with concurrent.futures.ThreadPoolExecutor(max_workers=24) as pool:
            results = list(pool.map(fetch, range(48)))
        for target, (status, headers, body) in results:
            self.assertEqual(status, 200, target)
            self.assertEqual(headers["Content-Length"], str(len(body)))
            if "exe" in target:
                self.assertEqual(body, self.exe)

    def test_stops_cleanly_on_sigint_and_sigterm(self):
        self.assertEqual(self.server.stop(signal.SIGTERM), 0)
        second = Server(self, self.site)
        self.assertEqual(second.stop(signal.SIGINT), 0)

    def test_port_in_use_and_missing_root(self):
        code, stdout, stderr = run_tool("serve", "--root", self.site, "--listen", f"127.0.0.1:{self.server.port}")
        self.assertNotEqual(code, 0)
        self.assertEqual(stdout, "")
        self.assertOneErrorLine(stderr, "cannot listen on 127.0.0.1:\\d+: Address already in use")
        code, _, stderr = run_tool("serve", "--root", self.path("nowhere"), "--listen", "127.0.0.1:0")
        self.assertNotEqual(code, 0)
        self.assertOneErrorLine(stderr, "root folder .*nowhere")
        for listen in ("127.0.0.1", "127.0.0.1:x", "127.0.0.1:70000", ":80"):
            code, _, stderr = run_tool("serve", "--root", self.site, "--listen", listen)
            self.assertNotEqual(code, 0)
            self.assertOneErrorLine(stderr, "--listen wants HOST:PORT")

    def test_https(self):
        cert, key = self.path("cert.pem"), self.path("key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        server = Server(self, self.site, "--tls-cert", cert, "--tls-key", key)
        try:
            self.assertEqual(server.scheme, "https")
            context = ssl.create_default_context(cafile=cert)
            with urllib.request.urlopen(f"https://127.0.0.1:{server.port}/api/release?f=exe", context=context,
                                        timeout=20) as response:
                self.assertEqual(response.headers["Content-Length"], str(len(self.exe)))
                self.assertEqual(response.read(), self.exe)
        finally:
            self.assertEqual(server.stop(), 0)
        code, _, stderr = run_tool("serve", "--root", self.site, "--listen", "127.0.0.1:0", "--tls-cert", cert)
        self.assertNotEqual(code, 0)
        self.assertOneErrorLine(stderr, "go together")
        code, _, stderr = run_tool("serve", "--root", self.site, "--listen", "127.0.0.1:0", "--tls-cert", cert,
                                   "--tls-key", cert)
        self.assertNotEqual(code, 0)
        self.assertOneErrorLine(stderr, "cannot use TLS certificate")


class ServeFixture(TempFolderTest):
    extra = ()

    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.exe = self.publish_demo(self.site, "5.0", "Virelo-5.0.exe", size=300_000)
        self.server = Server(self, self.site, *self.extra)
        self.port = self.server.port

    def tearDown(self):
        self.server.stop()
        super().tearDown()

    def wait_for_log(self, count, seconds=5):
        deadline = time.monotonic() + seconds
        while len(self.server.log_lines()) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.server.log_lines()


    def wait_for_matches(self, pattern, count, seconds=5):
        """The log lines matching `pattern`, once there are `count` (or the time is up)."""
        deadline = time.monotonic() + seconds
        while True:
            found = [line for line in self.server.log_lines() if re.search(pattern, line)]
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.02)


class RefusalTest(ServeFixture):
    def test_refused_from_the_head_alone_with_one_answer_and_a_close(self):
        head = "Host: t\r\n"
        cases = [
            ("POST with a body", f"POST /api/release?f=manifest HTTP/1.1\r\n{head}Content-Length: 5\r\n\r\nhello", 405),
            ("PUT", f"PUT /manifest.json HTTP/1.1\r\n{head}Content-Length: 0\r\n\r\n", 405),
            ("DELETE", f"DELETE /manifest.json HTTP/1.1\r\n{head}\r\n", 405),
            ("OPTIONS *", f"OPTIONS * HTTP/1.1\r\n{head}\r\n", 405),
            ("an invented method", f"BREW /manifest.json HTTP/1.1\r\n{head}\r\n", 405),
            ("CONNECT", f"CONNECT example.com:443 HTTP/1.1\r\n{head}\r\n", 405),
            ("duplicate Content-Length", f"GET /manifest.json HTTP/1.1\r\n{head}Content-Length: 0\r\n"
                                         "Content-Length: 0\r\n\r\n", 400),
            ("duplicate Content-Length on POST", f"POST / HTTP/1.1\r\n{head}Content-Length: 5\r\n"
                                                 "Content-Length: 5\r\n\r\nhello", 400),
            ("Content-Length list", f"GET / HTTP/1.1\r\n{head}Content-Length: 5, 5\r\n\r\nhello", 400),
            ("signed Content-Length", f"GET / HTTP/1.1\r\n{head}Content-Length: +5\r\n\r\nhello", 400),
            ("Content-Length and Transfer-Encoding", f"GET / HTTP/1.1\r\n{head}Content-Length: 5\r\n"
                                                     "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400),
            ("a body on GET", f"GET /manifest.json HTTP/1.1\r\n{head}Content-Length: 5\r\n\r\n"
                              "GET /manifest.json HTTP/1.1\r\n\r\n", 413),
            ("a chunked body on GET", f"GET /manifest.json HTTP/1.1\r\n{head}Transfer-Encoding: chunked\r\n\r\n"
                                      "0\r\n\r\n", 413),
            ("a body on HEAD", f"HEAD /manifest.json HTTP/1.1\r\n{head}Content-Length: 1\r\n\r\nx", 413),
            ("no Host", "GET /manifest.json HTTP/1.1\r\n\r\n", 400),
            ("two Hosts", f"GET /manifest.json HTTP/1.1\r\n{head}{head}\r\n", 400),
            ("folded field", f"GET /manifest.json HTTP/1.1\r\n{head}X-A: 1\r\n  2\r\n\r\n", 400),
            ("space before the colon", f"GET /manifest.json HTTP/1.1\r\n{head}Range : bytes=0-1\r\n\r\n", 400),
            ("bare CR", f"GET /manifest.json HTTP/1.1\r\n{head}X-A: 1\r2\r\n\r\n", 400),
            ("NUL in a value", f"GET /manifest.json HTTP/1.1\r\n{head}X-A: 1\x002\r\n\r\n", 400),
            ("HTTP/2.0", f"GET /manifest.json HTTP/2.0\r\n{head}\r\n", 505),
            ("no version", "GET /manifest.json\r\n\r\n", 400),
            ("two spaces", f"GET  /manifest.json HTTP/1.1\r\n{head}\r\n", 400),
            ("relative target", f"GET manifest.json HTTP/1.1\r\n{head}\r\n", 400),
            ("broken escape", f"GET /manifest%zz.json HTTP/1.1\r\n{head}\r\n", 400),
        ]
        for name, request, status in cases:
            with self.subTest(name):
                # What follows the head must never be answered as a request.
                data, closed = exchange(self.port, request.encode("latin-1") + MANIFEST)
                self.assertTrue(closed)
                found = answers(data)
                self.assertEqual([a[0] for a in found], [status], data[:300])
                self.assertEqual(found[0][1].get("connection"), "close")
                if status == 405:
                    self.assertEqual(found[0][1]["allow"], "GET, HEAD")
        lines = self.wait_for_log(len(cases))
        self.assertEqual([line.split()[-2] for line in lines], [str(status) for _, _, status in cases], lines)

    def test_large_bodies_are_refused_without_being_read(self):
        before = resident_kib(self.server.process.pid, "VmHWM")
        declared = 512 * 1048576
        results = {}

        def post(method):
            with connect(self.port) as sock:
                sock.sendall(f"{method} /api/release?f=manifest HTTP/1.1\r\nHost: t\r\n"
                             f"Content-Length: {declared}\r\n\r\n".encode())
                sent, chunk = 0, b"x" * 1048576
                sock.settimeout(10)
                try:
                    while sent < 64 * 1048576:
                        sent += sock.send(chunk)
                except OSError:
                    pass
                data, _ = receive_all(sock, 10)
                results[method] = (data.split(b"\r\n", 1)[0], sent)

        threads = [threading.Thread(target=post, args=(method,)) for method in ("POST", "GET", "PUT", "POST")]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        self.assertEqual(results["POST"][0], b"HTTP/1.1 405 Method Not Allowed")
        self.assertEqual(results["PUT"][0], b"HTTP/1.1 405 Method Not Allowed")
        self.assertEqual(results["GET"][0], b"HTTP/1.1 413 Content Too Large")
        for method, (_, sent) in results.items():
            # The client is cut off after at most a few socket buffers' worth.
            self.assertLess(sent, 64 * 1048576, method)
        grown = resident_kib(self.server.process.pid, "VmHWM") - before
        self.assertLess(grown, 16 * 1024, f"serve grew by {grown} KiB")

    def test_oversized_and_endless_heads(self):
        cases = [
            ("a long request line", b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: t\r\n\r\n", 414),
            ("long fields", b"GET / HTTP/1.1\r\nHost: t\r\n" + b"X-A: " + b"b" * 20000 + b"\r\n\r\n", 431),
            ("many fields", b"GET / HTTP/1.1\r\nHost: t\r\n" + b"X-A: 1\r\n" * 101 + b"\r\n", 431),
            ("blank lines only", b"\r\n" * 20000, 431),
        ]
        for name, request, status in cases:
            with self.subTest(name):
                data, closed = exchange(self.port, request)
                self.assertTrue(closed)
                self.assertEqual([a[0] for a in answers(data)], [status])

        # Header lines without end: refused once the head limit is passed,
        # and nothing beyond a few socket buffers is ever accepted.
        before = resident_kib(self.server.process.pid, "VmHWM")
        with connect(self.port) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n")
            sent, line = 0, b"X-Endless: " + b"e" * 1000 + b"\r\n"
            try:
                while sent < 256 * 1048576:
                    sent += sock.send(line * 1024)
            except OSError:
                pass
            data, _ = receive_all(sock, 10)
        self.assertTrue(data.startswith(b"HTTP/1.1 431 "), data[:100])
        self.assertLess(sent, 64 * 1048576)
        self.assertLess(resident_kib(self.server.process.pid, "VmHWM") - before, 16 * 1024)


class ConnectionTest(ServeFixture):
    def test_pipelining_keep_alive_and_http_1_0(self):
        manifest = read(os.path.join(self.site, "manifest.json"))
        cases = [
            ("two pipelined requests", b"\r\n" + MANIFEST + MANIFEST, [200, 200], False),
            ("Connection: close", b"GET /manifest.json HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n", [200], True),
            ("HTTP/1.0", b"GET /manifest.json HTTP/1.0\r\n\r\n", [200], True),
            ("HTTP/1.0 keep-alive", b"GET /manifest.json HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", [200], False),
            ("a request, then garbage", MANIFEST + b"hello\r\n\r\n", [200, 400], True),
        ]
        for name, request, statuses, closes in cases:
            with self.subTest(name):
                data, closed = exchange(self.port, request, quiet_seconds=1)
                found = answers(data)
                self.assertEqual([a[0] for a in found], statuses)
                self.assertEqual(closed, closes)
                self.assertEqual(found[0][2], manifest)

    def test_slow_and_idle_clients_do_not_delay_others_and_are_cut(self):
        # 256 connections from other loopback addresses trickle a head one
        # byte every 2 s; one more connects and says nothing.
        slow = [connect(self.port, f"127.0.0.{2 + i % 8}") for i in range(256)]
        idle = connect(self.port)
        started = time.monotonic()
        try:
            head = b"GET /manifest.json HTTP/1.1\r\nHost: t\r\nX-Slow: " + b"s" * 100
            answered_in = None
            cut = set()  # the server answered or closed them
            readable = select.poll()
            for sock in slow:
                readable.register(sock, select.POLLIN)
            for position in range(len(head)):
                for index, sock in enumerate(slow):
                    if index not in cut:
                        sock.send(head[position:position + 1])
                if answered_in is None and position == 1:
                    begin = time.monotonic()
                    status, _, _ = http_get(self.port, "/api/release?f=manifest")
                    answered_in = time.monotonic() - begin
                    self.assertEqual(status, 200)
                    self.assertEqual(cut, set())  # all 256 were held meanwhile
                deadline = time.monotonic() + 2
                while len(cut) < len(slow) and time.monotonic() < deadline:
                    for fd, _ in readable.poll(100):
                        readable.unregister(fd)
                        cut.update(i for i, sock in enumerate(slow) if sock.fileno() == fd)
                if len(cut) == len(slow) or time.monotonic() - started > 16:
                    break
            # A generous bound: without the event loop it took as long as the attack.
            self.assertLess(answered_in, 10)
            # Every slow head was answered 408 and closed after the head
            # timeout (10 s); the idle connection was closed without a word.
            for sock in slow:
                data, closed = receive_all(sock, 5)
                self.assertTrue(closed)
                self.assertTrue(data.startswith(b"HTTP/1.1 408 "), data[:100])
            data, closed = receive_all(idle, 5)
            self.assertEqual((data, closed), (b"", True))
        finally:
            for sock in slow + [idle]:
                sock.close()


class LimitTest(ServeFixture):
    extra = ("--max-connections", "6", "--max-per-client", "3")

    def test_per_client_and_total_limits(self):
        first = [keep_alive(self.port, "127.0.0.2") for _ in range(3)]
        later = []
        try:
            # The fourth from the same address is turned away; another address is served.
            data, closed = exchange(self.port, MANIFEST, source="127.0.0.2")
            self.assertTrue(closed)
            self.assertEqual(answers(data)[0][0], 503)
            # The refusal is logged like any answer, with "-" for what was not read.
            refusals = self.wait_for_matches(r" 503 ", 1)
            self.assertEqual(len(refusals), 1, self.server.log_lines())
            self.assertRegex(refusals[0], r"^\S+Z 127\.0\.0\.2:\d+ - - 503 %d$" % len(answers(data)[0][2]))
            self.assertEqual(answers(exchange(self.port, MANIFEST, quiet_seconds=1, source="127.0.0.3")[0])[0][0],
                             200)
            # With the server full, a new client takes the place of the
            # connection that has waited longest for its next request.
            later = [keep_alive(self.port, "127.0.0.4") for _ in range(3)]
            time.sleep(0.6)  # the event loops tell each other who waits, every 250 ms
            data, _ = exchange(self.port, MANIFEST, quiet_seconds=1, source="127.0.0.5")
            self.assertEqual(answers(data)[0][0], 200)
            self.assertEqual([receive_all(sock, 0.2) for sock in first + later],
                             [(b"", True)] + [(b"", False)] * 5)
        finally:
            for sock in first + later:
                sock.close()

    def test_limits_must_be_counts(self):
        for value in ("0", "-1", "x", "10000000"):
            with self.subTest(value):
                done = subprocess.run([os.environ["VIRELO_RELEASE_TOOL"], "serve", "--root", self.site, "--listen",
                                       "127.0.0.1:0", "--max-per-client", value], capture_output=True, text=True,
                                      timeout=20)
                self.assertEqual(done.returncode, 2)
                self.assertOneErrorLine(done.stderr, "--max-per-client wants a whole number")


class EvictionTest(ServeFixture):
    extra = ("--max-connections", "20")

    def test_newcomers_take_the_place_of_the_longest_waiting(self):
        # Twice the cap in slow connections from four other addresses, each
        # with part of a head, and ordinary GETs among them, some at once:
        # every GET is answered and nobody is refused, the slow ones make room.
        head = b"GET /manifest.json HTTP/1.1\r\nHost: t\r\nX-Slow: "
        cases = [("one after another", 1), ("eight at once", 8)]
        slow = []
        try:
            for name, parallel in cases:
                with self.subTest(name):
                    for i in range(40):
                        sock = connect(self.port, f"127.0.0.{2 + i % 4}")
                        sock.sendall(head)
                        slow.append(sock)
                    statuses = []

                    def get():
                        statuses.append(http_get(self.port, "/api/release?f=manifest")[0])

                    for _ in range(3):
                        threads = [threading.Thread(target=get) for _ in range(parallel)]
                        for t in threads:
                            t.start()
                        for t in threads:
                            t.join(timeout=30)
                    self.assertEqual(statuses, [200] * 3 * parallel)
            # Slow connections made room, the longest-waiting first as far as
            # each loop knows (so the first 20 are long gone, and at most 20
            # are held), told 408 as part of their head had been read; none
            # was refused with 503.
            told = [receive_all(sock, 0.2) for sock in slow]
            self.assertEqual({data[:12] for data, _ in told[:20]}, {b"HTTP/1.1 408"})
            self.assertEqual({data[:12] for data, _ in told} - {b"HTTP/1.1 408", b""}, set())
            self.assertLessEqual(sum(not closed for _, closed in told), 20)
            self.assertEqual([line for line in self.server.log_lines() if " 503 " in line], [])
        finally:
            for sock in slow:
                sock.close()


class StalledLogTest(TempFolderTest):
    """A log reader that stops reading (a full stdout pipe) must not stall
    the clients: lines are dropped and counted instead."""

    def test_clients_are_answered_while_the_log_reader_stalls(self):
        site = self.path("site")
        self.publish_demo(site)
        requests = 10_000
        # Whether the reader comes back before serve stops: if it does, the
        # log itself tells how many lines it lost; if not, stderr does at exit.
        cases = [("the reader comes back", True), ("the reader never comes back", False)]
        for name, comes_back in cases:
            with self.subTest(name):
                err_path = self.path(f"stalled-{comes_back}.err")
                with open(err_path, "w") as err:
                    process = subprocess.Popen([TOOL, "serve", "--root", site, "--listen", "127.0.0.1:0"],
                                               stdout=subprocess.PIPE, stderr=err)
                try:
                    port = int(re.match(rb"listening on http://127\.0\.0\.1:(\d+)/\n",
                                        process.stdout.readline()).group(1))
                    with connect(port, timeout=10) as sock:
                        self.assertEqual(pipelined(sock, MANIFEST, requests), requests)
                    read_back = []
                    if comes_back:
                        reader = threading.Thread(target=lambda: read_back.append(process.stdout.read()))
                        reader.start()
                        self.assertEqual(http_get(port, "/api/release?f=manifest")[0], 200)
                        requests += 1
                    process.send_signal(signal.SIGTERM)
                    self.assertEqual(process.wait(timeout=20), 0)
                    if comes_back:
                        reader.join(timeout=20)
                        log = read_back[0].decode()
                    else:
                        log = process.stdout.read().decode()
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait()
                    process.stdout.close()
                logged = len(re.findall(r"(?m) GET /api/release\?f=manifest 200 \d+$", log))
                in_log = dropped_counts(log)
                at_exit = [int(n) for n in re.findall(r"virelo-release: (\d+) access log lines were dropped because "
                                                      r"the log's reader did not keep up", read(err_path, "r"))]
                # Every request is either logged or counted as dropped, once.
                self.assertEqual(logged + sum(in_log) + sum(at_exit), requests, (logged, in_log, at_exit))
                self.assertGreater(sum(in_log) + sum(at_exit), 0)
                self.assertEqual((len(in_log) == 1, len(at_exit) == 1), (comes_back, not comes_back),
                                 (in_log, at_exit))
                requests = 10_000


class CacheTest(ServeFixture):
    def test_no_cache_where_the_content_changes_with_each_release(self):
        cases = [
            ("/api/release?f=manifest", 200, True), ("/api/release?f=sig", 200, True),
            ("/api/release?f=exe", 200, True), ("/manifest.json", 200, True), ("/manifest.sig", 200, True),
            ("/release.exe", 200, True), ("/Virelo-5.0.exe", 200, False), ("/api/release?f=x", 404, True),
            ("/missing.exe", 404, False),
        ]
        for target, status, uncached in cases:
            with self.subTest(target):
                got, headers, _ = http_get(self.port, target)
                self.assertEqual(got, status)
                self.assertEqual(headers.get("Cache-Control") == "no-cache", uncached, headers)
                self.assertEqual("Cache-Control" in headers, uncached, headers)
                if status == 200:
                    self.assertRegex(headers["ETag"], r'^"[0-9a-f]+-[0-9a-f]+-[0-9a-f]+"$')
                    self.assertRegex(headers["Last-Modified"], r"^\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT$")

    def test_conditional_requests(self):
        _, headers, _ = http_get(self.port, "/api/release?f=exe")
        tag, modified = headers["ETag"], headers["Last-Modified"]
        cases = [
            ([("If-None-Match", tag)], 304), ([("If-None-Match", f'"x", W/{tag}')], 304),
            ([("If-None-Match", "*")], 304), ([("If-None-Match", '"other"')], 200),
            ([("If-Modified-Since", modified)], 304),
            ([("If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT")], 200),
            ([("If-Modified-Since", "yesterday")], 200),
            # If-None-Match decides when both are sent.
            ([("If-None-Match", '"other"'), ("If-Modified-Since", modified)], 200),
            ([("If-Range", tag), ("Range", "bytes=0-9")], 206),
            ([("If-Range", '"old"'), ("Range", "bytes=0-9")], 200),
            ([("If-Range", modified), ("Range", "bytes=0-9")], 206),
        ]
        for target in ("/api/release?f=exe", "/Virelo-5.0.exe"):
            for fields, status in cases:
                with self.subTest(target=target, fields=fields):
                    got, answer_headers, body = http_get(self.port, target, headers=fields)
                    self.assertEqual(got, status)
                    expected = {304: b"", 206: self.exe[:10], 200: self.exe}[status]
                    self.assertEqual(body, expected)
                    if status == 304:
                        self.assertEqual(answer_headers["ETag"], tag)
        status, _, body = http_get(self.port, "/manifest.json", "HEAD", headers=[("If-Modified-Since", modified)])
        self.assertEqual((status, body), (304, b""))

        # A new release behind the same URL no longer matches the old tag.
        newer = self.publish_demo(self.site, "5.1", "Virelo-5.1.exe", size=1000, seed=4)
        status, _, body = http_get(self.port, "/api/release?f=exe", headers=[("If-None-Match", tag)])
        self.assertEqual((status, body), (200, newer))


class PrefixTest(TempFolderTest):
    """--prefix: the site below a URL path, as nginx serves it at /virelo/;
    nothing outside it, and the default / unchanged (the other suites)."""

    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.exe = self.publish_demo(self.site, "5.0", "Virelo-5.0.exe", size=70_000)

    def serve(self, prefix):
        server = Server(self, self.site, "--prefix", prefix)
        self.addCleanup(server.stop)
        return server

    def test_the_site_lies_under_the_prefix_and_nothing_outside_it(self):
        manifest = read(os.path.join(self.site, "manifest.json"))
        compressed = json.loads(manifest)["compressed"]["file"]
        # (target below the prefix, status, body, Cache-Control)
        inside = [
            ("api/release?f=manifest", 200, manifest, "no-cache"),
            ("api/release?f=sig", 200, read(os.path.join(self.site, "manifest.sig")), "no-cache"),
            ("api/release?f=exe", 200, self.exe, "no-cache"),
            ("manifest.json", 200, manifest, "no-cache"),
            ("release.exe", 200, self.exe, "no-cache"),
            ("Virelo-5.0.exe", 200, self.exe, None),
            (compressed, 200, read(os.path.join(self.site, compressed)), "public, max-age=31536000, immutable"),
            ("api/release?f=x", 404, None, "no-cache"),
            ("missing.exe", 404, None, None),
            ("", 404, None, None),
            ("api/release/?f=manifest", 404, None, None),
            ("../manifest.json", 404, None, None),
            ("%2e%2e/manifest.json", 404, None, None),
            (".publish-abc/manifest.json", 404, None, None),
        ]
        for prefix in ("/virelo/", "/downloads/virelo-beta/"):
            server = self.serve(prefix)
            self.assertEqual(server.prefix, prefix)
            for target, status, body, cache_control in inside:
                with self.subTest(prefix=prefix, target=target):
                    got, headers, received = http_get(server.port, prefix + target)
                    self.assertEqual(got, status)
                    if body is not None:
                        self.assertEqual(received, body)
                    self.assertEqual(headers.get("Cache-Control"), cache_control, headers)
            # Outside the prefix nothing exists, not even an uncached miss of the release's names.
            outside = ["/manifest.json", "/api/release?f=manifest", "/api/release?f=exe", "/Virelo-5.0.exe",
                       "/", prefix[:-1], prefix[:-1] + "x/manifest.json", prefix.upper() + "manifest.json",
                       "/elsewhere" + prefix + "manifest.json", "/x/.." + prefix + "manifest.json"]
            for target in outside:
                with self.subTest(prefix=prefix, outside=target):
                    got, headers, _ = http_get(server.port, target)
                    self.assertEqual(got, 404)
                    self.assertNotIn("Cache-Control", headers)

    def test_the_log_names_the_whole_target(self):
        server = self.serve("/virelo/")
        for target in ("/virelo/api/release?f=manifest", "/manifest.json"):
            http_get(server.port, target)
        deadline = time.monotonic() + 5
        while len(server.log_lines()) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        seen = sorted(re.sub(r"^\S+Z 127\.0\.0\.1:\d+ ", "", line) for line in server.log_lines())
        self.assertEqual(seen, ["GET /manifest.json 404 10",
                                f"GET /virelo/api/release?f=manifest 200 {len(read(os.path.join(self.site, 'manifest.json')))}"])

    def test_a_prefix_must_be_a_path_that_starts_and_ends_with_a_slash(self):
        for prefix in ("virelo/", "/virelo", "virelo", "//", "/a//b/", "/./", "/../", "/.hidden/", "/a b/",
                       "/v%20/", "/v?x/", "/v#/", "/v\\/", "/ä/"):
            with self.subTest(prefix):
                code, stdout, stderr = run_tool("serve", "--root", self.site, "--listen", "127.0.0.1:0",
                                                "--prefix", prefix, timeout=20)
                self.assertEqual((code, stdout), (2, ""))
                self.assertOneErrorLine(stderr, "--prefix wants the URL path the site lies under, starting and "
                                                "ending with /")
                self.assertIn(f'(got "{prefix}")', stderr)
        # The default, given or not, is the server root: the first line is the same as ever.
        self.assertEqual(self.serve("/").prefix, "/")
        default = Server(self, self.site)
        self.addCleanup(default.stop)
        self.assertEqual(read(default.out_path, "r"), f"listening on http://127.0.0.1:{default.port}/\n")


class TlsTest(TempFolderTest):
    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.publish_demo(self.site)
        self.cert, key = self.path("cert.pem"), self.path("key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", self.cert], check=True, capture_output=True)
        self.tls_options = ("--tls-cert", self.cert, "--tls-key", key)

    def handshake(self, port, context):
        return context.wrap_socket(connect(port), server_hostname="127.0.0.1")

    def test_failed_and_abandoned_handshakes_are_logged(self):
        server = Server(self, self.site, *self.tls_options)
        trusting = ssl.create_default_context(cafile=self.cert)
        # Accepts any certificate, like a client that judges it only after
        # the handshake and then hangs up without a word.
        unchecking = ssl.create_default_context()
        unchecking.check_hostname = False
        unchecking.verify_mode = ssl.CERT_NONE

        def probe():
            connect(server.port).close()

        def plain_http():
            exchange(server.port, MANIFEST)

        def untrusted():
            with self.assertRaises(ssl.SSLCertVerificationError):
                self.handshake(server.port, ssl.create_default_context())

        def abandoned(reset):
            tls = self.handshake(server.port, unchecking)
            if reset:
                tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            tls.close()

        def trusted():
            with self.handshake(server.port, trusting) as tls:
                tls.sendall(MANIFEST.replace(b"HTTP/1.1\r\n", b"HTTP/1.1\r\nConnection: close\r\n"))
                self.assertEqual(answers(receive_all(tls, 10)[0])[0][0], 200)

        failed = r"TLS handshake failed: (.+)"
        abandoned_line = r"TLS handshake abandoned by the client: (.+)"
        cases = [
            # A probe that sends nothing is no handshake.
            ("a probe", probe, None, None),
            ("plain HTTP to the TLS port", plain_http, failed, "http request"),
            ("a client that does not trust the certificate", untrusted, failed, "unknown ca"),
            ("closed after the handshake, without a request", lambda: abandoned(False), abandoned_line, "."),
            ("reset after the handshake, without a request", lambda: abandoned(True), abandoned_line, "reset"),
            ("a request", trusted, r"GET /api/release\?f=manifest (200) \d+", "200"),
        ]
        try:
            expected = 0
            for name, client, pattern, reason in cases:
                with self.subTest(name):
                    client()
                    if pattern:
                        expected += 1
                    deadline = time.monotonic() + 5
                    while len(server.log_lines()) < expected and time.monotonic() < deadline:
                        time.sleep(0.02)
                    time.sleep(0.1)  # no second line comes
                    lines = server.log_lines()
                    self.assertEqual(len(lines), expected, lines)
                    if pattern:
                        match = re.match(r"^\S+Z 127\.0\.0\.1:\d+ " + pattern + "$", lines[-1])
                        self.assertTrue(match, lines[-1])
                        self.assertRegex(match.group(1), reason)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_refusals_are_logged(self):
        # On TLS a refusal is a close before the handshake: nothing is said,
        # but the log has it.
        server = Server(self, self.site, *self.tls_options, "--max-per-client", "1")
        try:
            with self.handshake(server.port, ssl.create_default_context(cafile=self.cert)):
                with self.assertRaises(OSError):
                    self.handshake(server.port, ssl.create_default_context(cafile=self.cert)).close()
                deadline = time.monotonic() + 5
                while not server.log_lines() and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertEqual(len(server.log_lines()), 1, server.log_lines())
                self.assertRegex(server.log_lines()[0], r"^\S+Z 127\.0\.0\.1:\d+ - - 503 0$")
        finally:
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
