"""`virelo-release verify URL` against `virelo-release serve`, over http and
https: a good site passes, each fault is named (a release in a sub-folder of
the served root among them, which serve sends without no-cache), an
unreachable or untrusted site is told apart from a bad release."""

import json
import os
import re
import subprocess
import unittest

from pe_builder import write_pe
from serve_support import Server
from tool_support import (DEMO_KEY, DEMO_PUB, TempFolderTest, free_port, last_line, read, run_tool,
                          sign_folder_with_openssl)


class ServeVerifyTest(TempFolderTest):
    def setUp(self):
        super().setUp()
        self.root = self.path("root")
        self.site = self.root  # the release folder at the server root
        self.publish(self.root, "1.0", seed=1)
        self.publish(self.root, "1.1", seed=2)
        self.publish(os.path.join(self.root, "beta"), "2.0", seed=3)
        self.server = Server(self, self.root)
        self.addCleanup(self.server.stop)

    def publish(self, folder, version, seed):
        exe = self.path(f"build-{version}.exe")
        write_pe(exe, size=4096, seed=seed)
        code, _, stderr = run_tool("publish", "--key", DEMO_KEY, "--exe", exe, "--version", version,
                                   "--name", f"Virelo-{version}.exe", "--out", folder)
        self.assertEqual(code, 0, stderr)

    def compressed(self):
        return json.loads(read(os.path.join(self.root, "manifest.json")))["compressed"]["file"]

    def verify(self, path="/", *extra, scheme="http", port=None):
        return run_tool("verify", "--key", DEMO_PUB, *extra, f"{scheme}://127.0.0.1:{port or self.server.port}{path}")

    def expect_fault(self, pattern, path="/", *extra, **options):
        code, stdout, stderr = self.verify(path, *extra, **options)
        self.assertNotEqual(code, 0, stdout)
        self.assertOneErrorLine(stderr, pattern)
        self.assertNotIn("OK:", stdout)

    def test_a_good_site(self):
        for path in ("/", ""):  # the final '/' is added
            code, stdout, stderr = self.verify(path)
            self.assertEqual(code, 0, stderr)
            self.assertEqual(last_line(stdout), f"OK: Virelo 1.1 (Virelo-1.1.exe, 4096 bytes) at "
                                                f"http://127.0.0.1:{self.server.port}/\n")
            self.assertIn("release API:  verifies", stdout)
            self.assertIn("downloads:    compressed copy " + self.compressed(), stdout)

    def test_a_release_in_a_sub_folder_lacks_no_cache(self):
        # serve answers the release API, and sends no-cache, for the files at its root only:
        # a second channel needs a serve of its own (docs/publishing.md).
        for path in ("/beta/", "/beta"):
            with self.subTest(path):
                self.expect_fault("/beta/manifest.json is sent with no Cache-Control header, not "
                                  "Cache-Control: no-cache", path)

    def test_faults_are_named(self):
        def rewrite(name, change):
            path = os.path.join(self.root, name)
            data = change(read(path))
            os.remove(path)  # the executables are hard links of each other
            with open(path, "wb") as f:
                f.write(data)

        def expired():
            manifest, added = re.subn(r'("serial": \d+)', r'\1,\n  "expires": "2020-01-01T00:00:00Z"',
                                      read(os.path.join(self.root, "manifest.json"), "r"))
            self.assertEqual(added, 1)
            with open(os.path.join(self.root, "manifest.json"), "w") as f:
                f.write(manifest)
            sign_folder_with_openssl(self.root)

        cases = [
            ("tampered manifest", lambda: rewrite("manifest.json", lambda d: d.replace(b'"1.1"', b'"1.2"')),
             "/manifest.sig is not a valid signature of .*/manifest.json"),
            ("stale release.exe", lambda: rewrite("release.exe", lambda d: read(os.path.join(self.root,
                                                                                              "Virelo-1.0.exe"))),
             "/release.exe sends .*release.exe is stale"),
            ("changed executable", lambda: rewrite("Virelo-1.1.exe", lambda d: d[:-1] + bytes([d[-1] ^ 1])),
             "api/release\\?f=exe sends|Virelo-1.1.exe sends"),
            ("no static files", lambda: os.remove(os.path.join(self.root, "manifest.sig")),
             "/manifest.sig answers HTTP 404; every setup program falls back to the static files"),
            ("damaged compressed copy", lambda: rewrite(self.compressed(), lambda d: d[:-1] + bytes([d[-1] ^ 1])),
             "\\.gz has SHA-256"),
            ("missing compressed copy", lambda: os.remove(os.path.join(self.root, self.compressed())),
             "\\.gz answers HTTP 404; the manifest names this file"),
            # Last: a folder whose manifest expires takes no publish without --expires-in.
            ("expired manifest", expired, "expired at 2020-01-01T00:00:00Z"),
        ]
        for label, spoil, pattern in cases:
            with self.subTest(label):
                self.publish(self.root, "1.1", seed=2)
                spoil()
                self.expect_fault(pattern)

    def test_an_unreachable_or_untrusted_site_is_not_a_bad_release(self):
        self.expect_fault("cannot reach http://127.0.0.1:\\d+/manifest.json: ", port=free_port())
        cert, key = self.path("cert.pem"), self.path("key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        tls = Server(self, self.root, "--tls-cert", cert, "--tls-key", key)
        self.addCleanup(tls.stop)
        self.expect_fault("cannot reach https://.*certificate is not trusted; --ca-file FILE trusts a private CA",
                          scheme="https", port=tls.port)
        code, stdout, stderr = self.verify("/", "--ca-file", cert, scheme="https", port=tls.port)
        self.assertEqual((code, last_line(stdout)),
                         (0, f"OK: Virelo 1.1 (Virelo-1.1.exe, 4096 bytes) at https://127.0.0.1:{tls.port}/\n"),
                         stderr)
        for url, pattern in (("ftp://127.0.0.1/", "not an http:// or https:// site URL"),
                             ("http://127.0.0.1/?x=1", "no query")):
            code, _, stderr = run_tool("verify", "--key", DEMO_PUB, url)
            self.assertOneErrorLine(stderr, pattern if url.startswith("http") else "no such release folder")


if __name__ == "__main__":
    unittest.main()
