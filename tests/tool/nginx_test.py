"""deploy/nginx.conf in a real nginx, serving a folder written by
`virelo-release publish`: the release API, the static files and the refusals."""

import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

from tool_support import (DEMO_PUB, SOURCE_DIR, TempFolderTest, free_port, http_get, read, run_tool)

NGINX = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/usr/local/sbin")


def site_config(port, root):
    """deploy/nginx.conf with its listen and root lines pointed at the test."""
    text = read(os.path.join(SOURCE_DIR, "deploy", "nginx.conf"), "r")
    text, listens = re.subn(r"(?m)^(\s*)listen 8080;$", rf"\1listen 127.0.0.1:{port};", text)
    text, roots = re.subn(r"(?m)^(\s*)root /srv/virelo/release;$", lambda m: f"{m.group(1)}root {root};", text)
    assert (listens, roots) == (1, 1), "deploy/nginx.conf no longer has one plain listen and root line"
    return text


class NginxTest(TempFolderTest):
    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.exe = self.publish_demo(self.site, "1.4.2", "Virelo-1.4.2.exe", size=70_000)
        self.nginx = None
        for _ in range(5):  # the free port may be taken between probe and start
            self.port = free_port()
            if self._start_nginx():
                break
        else:
            self.fail("nginx did not start: " + read(self.path("error.log"), "r"))

    def _start_nginx(self):
        prefix = self.path("nginx")
        os.makedirs(prefix, exist_ok=True)
        with open(os.path.join(prefix, "virelo-release.conf"), "w") as f:
            f.write(site_config(self.port, self.site))
        temp_paths = "\n".join(f"    {kind}_temp_path {prefix}/{kind};"
                               for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write(f"""daemon off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {self.path('error.log')} warn;
events {{ worker_connections 64; }}
http {{
    access_log {prefix}/access.log;
{temp_paths}
    include {prefix}/virelo-release.conf;
}}
""")
        self.nginx = subprocess.Popen([NGINX, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"),
                                       "-e", self.path("error.log")],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.nginx.poll() is not None:
                return False
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        self._stop_nginx()
        return False

    def _stop_nginx(self):
        if self.nginx and self.nginx.poll() is None:
            self.nginx.send_signal(signal.SIGQUIT)
            try:
                self.nginx.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.nginx.kill()
                self.nginx.wait()

    def tearDown(self):
        self._stop_nginx()
        super().tearDown()

    def get(self, target, method="GET"):
        return http_get(self.port, target, method)

    def test_release_api_and_static_files(self):
        manifest = read(os.path.join(self.site, "manifest.json"))
        sig = read(os.path.join(self.site, "manifest.sig"))
        exe_type = "application/vnd.microsoft.portable-executable"
        cases = [
            ("/api/release?f=manifest", manifest, "application/json", True),
            ("/api/release?f=sig", sig, "text/plain", True),
            ("/api/release?f=exe", self.exe, exe_type, True),
            ("/manifest.json", manifest, "application/json", True),
            ("/manifest.sig", sig, "text/plain", True),
            ("/Virelo-1.4.2.exe", self.exe, exe_type, False),
        ]
        for target, body, content_type, uncached in cases:
            with self.subTest(target):
                status, headers, received = self.get(target)
                self.assertEqual(status, 200)
                self.assertEqual(received, body)
                self.assertEqual(headers["Content-Length"], str(len(body)))
                self.assertTrue(headers["Content-Type"].startswith(content_type), headers)
                self.assertEqual(headers.get("Cache-Control") == "no-cache", uncached, headers)

    def test_what_the_api_serves_verifies(self):
        fetched = self.path("fetched")
        os.makedirs(fetched)
        for f, name in (("manifest", "manifest.json"), ("sig", "manifest.sig"), ("exe", "Virelo-1.4.2.exe")):
            status, _, body = self.get("/api/release?f=" + f)
            self.assertEqual(status, 200)
            with open(os.path.join(fetched, name), "wb") as out:
                out.write(body)
        code, stdout, stderr = run_tool("verify", "--key", DEMO_PUB, fetched)
        self.assertEqual((code, stdout), (0, "OK: Virelo 1.4.2 (Virelo-1.4.2.exe, 70000 bytes)\n"), stderr)

    def test_republish_switches_the_api_executable(self):
        newer = self.publish_demo(self.site, "1.5", "Virelo-1.5.exe", size=1000, seed=3)
        self.assertEqual(self.get("/api/release?f=exe")[2], newer)
        self.assertIn(b'"Virelo-1.5.exe"', self.get("/api/release?f=manifest")[2])
        self.assertEqual(self.get("/Virelo-1.4.2.exe")[2], self.exe)

    def test_refusals(self):
        self.plant_unservable_entries(self.site)
        not_found = [
            "/api/release?f=x", "/api/release", "/api/release?f=", "/missing.exe", "/", "/sub", "/sub/",
            "/.publish-abc/manifest.json", "/escape.txt",
        ]
        for target in not_found:
            with self.subTest(target):
                status, _, body = self.get(target)
                self.assertEqual(status, 404)
                self.assertNotIn(b"outside the root", body)
        # nginx rejects a path above the root as a bad request before any location.
        for target in ("/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt", "/%2e%2e%2fsecret.txt"):
            with self.subTest(target):
                status, _, body = self.get(target)
                self.assertIn(status, (400, 404))
                self.assertNotIn(b"outside the root", body)
        status, _, _ = self.get("/api/release?f=manifest", "POST")
        self.assertEqual(status, 404)


if __name__ == "__main__":
    if not NGINX:
        print("nginx is not installed; skipping")
        sys.exit(77)
    unittest.main()
