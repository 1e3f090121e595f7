"""deploy/nginx.conf in a real nginx (started by deploy/nginx-local), serving a
folder written by `virelo-release publish` at the server root and under a
sub-path: the release API, the static files, the headers and the refusals;
and `virelo-release verify URL` against it."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

from pe_builder import write_pe
from tool_support import (DEMO_KEY, DEMO_PUB, SOURCE_DIR, TempFolderTest, free_port, http_get, last_line, read,
                          run_tool)

NGINX = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/usr/local/sbin")
EXE_TYPE = "application/vnd.microsoft.portable-executable"


class NginxLocal:
    """deploy/nginx-local serving `root` under `prefix` until stopped. With
    `deploy`, a copy of the deploy folder (a changed nginx.conf) is run instead."""

    def __init__(self, test, root, prefix, deploy=None):
        script = os.path.join(deploy or os.path.join(SOURCE_DIR, "deploy"), "nginx-local")
        self.process = None
        for attempt in range(5):  # the free port may be taken between probe and start
            self.port = free_port()
            state = test.path(f"nginx-{self.port}-{attempt}")
            self.error_log = os.path.join(state, "error.log")
            self.process = subprocess.Popen([script, "--root", root, "--port", str(self.port), "--prefix", prefix,
                                             "--state", state],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self._wait_until_listening():
                return
        raise AssertionError("nginx did not start: " + (read(self.error_log, "r")
                                                        if os.path.exists(self.error_log) else "no log"))

    def _wait_until_listening(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        self.stop()
        return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class NginxSiteTest(TempFolderTest):
    """The site's answers, at the root and below a prefix."""

    PREFIXES = ("/", "/virelo/")

    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.exe = self.publish_demo(self.site, "1.4.2", "Virelo-1.4.2.exe", size=70_000)

    def serve(self, prefix):
        server = NginxLocal(self, self.site, prefix)
        self.addCleanup(server.stop)
        return lambda target, method="GET", headers=(): http_get(server.port, prefix + target, method,
                                                                 headers=headers)

    def test_release_api_and_static_files(self):
        manifest = read(os.path.join(self.site, "manifest.json"))
        sig = read(os.path.join(self.site, "manifest.sig"))
        cases = [
            ("api/release?f=manifest", manifest, "application/json", True),
            ("api/release?f=sig", sig, "text/plain", True),
            ("api/release?f=exe", self.exe, EXE_TYPE, True),
            ("manifest.json", manifest, "application/json", True),
            ("manifest.sig", sig, "text/plain", True),
            ("release.exe", self.exe, EXE_TYPE, True),
            ("Virelo-1.4.2.exe", self.exe, EXE_TYPE, False),
        ]
        # The compressed copy: named after its content, so cached for good, and never re-encoded.
        compressed = json.loads(manifest)["compressed"]["file"]
        cases.append((compressed, read(os.path.join(self.site, compressed)), "application/gzip", "immutable"))
        for prefix in self.PREFIXES:
            get = self.serve(prefix)
            for target, body, content_type, uncached in cases:
                with self.subTest(prefix=prefix, target=target):
                    status, headers, received = get(target)
                    self.assertEqual(status, 200)
                    self.assertEqual(received, body)
                    self.assertEqual(headers["Content-Length"], str(len(body)))
                    self.assertTrue(headers["Content-Type"].startswith(content_type), headers)
                    self.assertNotIn("Content-Encoding", headers)
                    if uncached == "immutable":
                        self.assertEqual(headers.get("Cache-Control"), "public, max-age=31536000, immutable")
                        continue
                    self.assertEqual(headers.get("Cache-Control") == "no-cache", uncached, headers)
                    # Validators on every file, so caches and resumed downloads can check cheaply.
                    self.assertIn("ETag", headers)
                    self.assertIn("Last-Modified", headers)
            status, _, body = get("Virelo-1.4.2.exe", headers=[("If-None-Match", get("Virelo-1.4.2.exe")[1]["ETag"])])
            self.assertEqual((status, body), (304, b""))

    def test_a_root_without_a_release_is_named(self):
        empty = self.path("empty")
        os.makedirs(empty)
        script = os.path.join(SOURCE_DIR, "deploy", "nginx-local")
        process = subprocess.Popen([script, "--root", empty, "--port", str(free_port()), "--state",
                                    self.path("nginx-empty")], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   text=True)
        try:
            line = process.stderr.readline()
        finally:
            process.send_signal(signal.SIGQUIT)
            process.wait(timeout=10)
        self.assertIn("has no manifest.json, so there is no release to serve; point --root at the folder that "
                      "publish --out wrote", line)

    def test_what_the_api_serves_verifies(self):
        get = self.serve("/virelo/")
        fetched = self.path("fetched")
        os.makedirs(fetched)
        for f, name in (("manifest", "manifest.json"), ("sig", "manifest.sig"), ("exe", "Virelo-1.4.2.exe")):
            status, _, body = get("api/release?f=" + f)
            self.assertEqual(status, 200)
            with open(os.path.join(fetched, name), "wb") as out:
                out.write(body)
        # The compressed copy is a static file only: the API serves the three fixed answers.
        compressed = json.loads(read(os.path.join(fetched, "manifest.json")))["compressed"]["file"]
        status, _, body = get(compressed)
        self.assertEqual(status, 200)
        with open(os.path.join(fetched, compressed), "wb") as out:
            out.write(body)
        code, stdout, stderr = run_tool("verify", "--key", DEMO_PUB, fetched)
        self.assertEqual((code, last_line(stdout)), (0, "OK: Virelo 1.4.2 (Virelo-1.4.2.exe, 70000 bytes)\n"), stderr)

    def test_republish_switches_the_api_executable(self):
        get = self.serve("/virelo/")
        newer = self.publish_demo(self.site, "1.5", "Virelo-1.5.exe", size=1000, seed=3)
        self.assertEqual(get("api/release?f=exe")[2], newer)
        self.assertIn(b'"Virelo-1.5.exe"', get("api/release?f=manifest")[2])
        self.assertEqual(get("Virelo-1.4.2.exe")[2], self.exe)

    def test_refusals(self):
        self.plant_unservable_entries(self.site)
        # A release folder inside the release: its files are served, but not as a second API.
        self.publish_demo(os.path.join(self.site, "beta"), "2.0", "Virelo-2.0.exe", seed=4)
        for prefix in self.PREFIXES:
            get = self.serve(prefix)
            not_found = [
                "api/release?f=x", "api/release", "api/release?f=", "api/release/?f=manifest",
                "beta/api/release?f=manifest", "missing.exe", "", "sub", "sub/", ".publish-abc/manifest.json",
                "escape.txt",
            ]
            for target in not_found:
                with self.subTest(prefix=prefix, target=target):
                    status, _, body = get(target)
                    self.assertEqual(status, 404)
                    self.assertNotIn(b"outside the root", body)
            # nginx rejects a path above the root as a bad request before any location.
            for target in ("../secret.txt", "sub/../../secret.txt", "%2e%2e/secret.txt", "%2e%2e%2fsecret.txt"):
                with self.subTest(prefix=prefix, target=target):
                    status, _, body = get(target)
                    self.assertIn(status, (400, 404))
                    self.assertNotIn(b"outside the root", body)
            for target in ("api/release?f=manifest", "manifest.json", "Virelo-1.4.2.exe"):
                with self.subTest(prefix=prefix, target=target, method="POST"):
                    self.assertEqual(get(target, "POST")[0], 404)
            self.assertEqual(get("beta/manifest.json")[0], 200)
        # Outside the prefix there is nothing.
        status, _, _ = http_get(NginxLocal(self, self.site, "/virelo/").port, "/manifest.json")
        self.assertEqual(status, 404)


class NginxVerifyTest(TempFolderTest):
    """`virelo-release verify URL` against nginx: a good site passes; each
    fault is named."""

    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.publish("1.0", seed=1)
        self.publish("1.1", seed=2)

    def publish(self, version, seed):
        """A release whose executable is a well-formed PE image, as real ones are."""
        exe = self.path(f"build-{version}.exe")
        write_pe(exe, size=4096, seed=seed)
        code, _, stderr = run_tool("publish", "--key", DEMO_KEY, "--exe", exe, "--version", version,
                                   "--name", f"Virelo-{version}.exe", "--out", self.site)
        self.assertEqual(code, 0, stderr)

    def verify(self, server, prefix="/virelo/"):
        return run_tool("verify", "--key", DEMO_PUB, f"http://127.0.0.1:{server.port}{prefix}")

    def test_a_good_site_passes_at_the_root_and_below_a_prefix(self):
        for prefix in ("/", "/virelo/", "/downloads/virelo/stable/"):
            with self.subTest(prefix=prefix):
                server = NginxLocal(self, self.site, prefix)
                try:
                    code, stdout, stderr = self.verify(server, prefix)
                finally:
                    server.stop()
                self.assertEqual(code, 0, stderr)
                self.assertEqual(last_line(stdout),
                                 f"OK: Virelo 1.1 (Virelo-1.1.exe, 4096 bytes) at http://127.0.0.1:{server.port}{prefix}\n")
                self.assertIn('release API:  verifies, agrees with the static files, Cache-Control "no-cache"', stdout)
                self.assertIn("validators: ETag, Last-Modified", stdout)
                self.assertIn("Authenticode: not signed", stdout)

    def test_faults_are_named(self):
        def tampered_manifest():
            path = os.path.join(self.site, "manifest.json")
            text = read(path, "r").replace('"1.1"', '"1.2"')
            with open(path, "w") as f:
                f.write(text)

        def stale_release_exe():
            path = os.path.join(self.site, "release.exe")
            os.remove(path)  # a hard link of Virelo-1.1.exe
            shutil.copy(os.path.join(self.site, "Virelo-1.0.exe"), path)

        def missing_executable():
            os.remove(os.path.join(self.site, "Virelo-1.1.exe"))

        cases = [
            ("tampered manifest", tampered_manifest, "manifest.sig is not a valid signature of .*manifest.json"),
            ("stale release.exe", stale_release_exe, "api/release\\?f=exe sends .*stale release.exe"),
            ("missing executable", missing_executable, "Virelo-1.1.exe answers HTTP 404"),
        ]
        for label, spoil, pattern in cases:
            with self.subTest(label):
                self.publish("1.1", seed=2)
                spoil()
                server = NginxLocal(self, self.site, "/virelo/")
                try:
                    code, stdout, stderr = self.verify(server)
                finally:
                    server.stop()
                self.assertNotEqual(code, 0, stdout)
                self.assertOneErrorLine(stderr, pattern)
                self.assertNotIn("OK:", stdout)

    def test_a_server_without_no_cache_is_named(self):
        deploy = self.path("deploy")
        shutil.copytree(os.path.join(SOURCE_DIR, "deploy"), deploy)
        conf = os.path.join(deploy, "nginx.conf")
        text, removed = re.subn(r'(?m)^\s*add_header Cache-Control "no-cache" always;\n', "", read(conf, "r"))
        self.assertEqual(removed, 1)
        with open(conf, "w") as f:
            f.write(text)
        server = NginxLocal(self, self.site, "/virelo/", deploy=deploy)
        try:
            code, stdout, stderr = self.verify(server)
        finally:
            server.stop()
        self.assertNotEqual(code, 0, stdout)
        self.assertOneErrorLine(stderr, "manifest.json is sent with no Cache-Control header, not Cache-Control: "
                                        "no-cache")


if __name__ == "__main__":
    if not NGINX:
        print("nginx is not installed; skipping")
        sys.exit(77)
    unittest.main()
