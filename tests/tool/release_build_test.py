"""The publisher's two entry points run for real: `make release` with a
throwaway key builds only VireloSetup.exe, embeds that key and site (read back
with `inspect`) and refuses what must not ship; the test build of the same
tree keeps the demo keys its tests sign with; `make tool` builds only
virelo-release. Everything goes into a temporary BUILD folder."""

import hashlib
import os
import re
import subprocess
import unittest

from tool_support import DEMO_PUB, SOURCE_DIR, TOOL, TempFolderTest, read, run_tool

SITE = "https://downloads.example.test/virelo/"
DEMO_NEXT_PUB = os.path.join(SOURCE_DIR, "keys", "demo", "demo-next-signing-key.pub")


def fingerprint(path):
    return hashlib.sha256(read(path)).hexdigest()[:16]


def make(*args, timeout=900):
    done = subprocess.run(["make", "--no-print-directory", "-C", SOURCE_DIR, "JOBS=2", *args],
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


class ReleaseBuildTest(TempFolderTest):
    def setUp(self):
        super().setUp()
        self.build = self.path("build")
        for name in ("key", "next"):
            code, _, stderr = run_tool("keygen", "--out", self.path(name))
            self.assertEqual(code, 0, stderr)
        self.key = self.path("key", "signing-key.pub")
        self.next = self.path("next", "signing-key.pub")

    def inspect(self, program):
        code, stdout, stderr = run_tool("inspect", program)
        self.assertEqual(code, 0, stderr)
        return stdout

    def test_release_build_then_test_build_in_one_tree(self):
        code, stdout, stderr = make("release", f"BUILD={self.build}", f"VIRELO_SIGNING_KEY={self.key}",
                                    f"VIRELO_NEXT_SIGNING_KEY={self.next}", f"VIRELO_RELEASE_SITE={SITE}")
        self.assertEqual(code, 0, stdout + stderr)
        program = os.path.join(self.build, "release", "VireloSetup.exe")
        # What make prints is what inspect reads back from the program.
        self.assertRegex(stdout, f"(?m)^built {re.escape(program)}$")
        self.assertRegex(stdout, f"(?m)^signing key: +{fingerprint(self.key)} ")
        self.assertRegex(stdout, f"(?m)^next signing key: +{fingerprint(self.next)} ")
        self.assertRegex(stdout, f"(?m)^release site: +{re.escape(SITE)}$")
        shown = self.inspect(program)
        self.assertRegex(shown, f"(?m)^signing key: +{fingerprint(self.key)}$")
        self.assertRegex(shown, f"(?m)^next signing key: +{fingerprint(self.next)}$")
        self.assertRegex(shown, f"(?m)^release site: +{re.escape(SITE)}$")
        self.assertNotIn("DEMO", shown)
        # Only the program: no tests, no stand-in, no demo helpers were built or even defined.
        release = os.path.join(self.build, "release")
        self.assertFalse(any(os.path.exists(os.path.join(release, p)) for p in ("tests", "standin", "Virelo.exe")))
        targets = subprocess.run(["ninja", "-C", release, "-t", "targets", "all"], capture_output=True, text=True,
                                 check=True).stdout
        self.assertNotRegex(targets, "(?m)_tests|wine_gtest|standin|find-window")

        # The test build of the same tree embeds the demo keys whatever the release uses.
        code, stdout, stderr = make("configure", f"BUILD={self.build}")
        self.assertEqual(code, 0, stdout + stderr)
        subprocess.run(["cmake", "--build", os.path.join(self.build, "windows"), "--target", "VireloSetup", "-j2"],
                       check=True, capture_output=True, timeout=900)
        shown = self.inspect(os.path.join(self.build, "windows", "VireloSetup.exe"))
        self.assertRegex(shown, f"(?m)^signing key: +{fingerprint(DEMO_PUB)} \\(a DEMO key")
        self.assertRegex(shown, f"(?m)^next signing key: +{fingerprint(DEMO_NEXT_PUB)} \\(a DEMO key")
        # ... and the release build keeps its own.
        self.assertRegex(self.inspect(program), f"(?m)^signing key: +{fingerprint(self.key)}$")

        # A release without the next key drops it, rather than keeping it from the cache.
        code, stdout, stderr = make("release", f"BUILD={self.build}", f"VIRELO_SIGNING_KEY={self.key}",
                                    f"VIRELO_RELEASE_SITE={SITE}")
        self.assertEqual(code, 0, stdout + stderr)
        self.assertRegex(self.inspect(program), "(?m)^next signing key: +none$")

    def test_release_refuses_what_must_not_ship(self):
        pem = self.path("key", "signing-key.pem")
        cases = [
            ([f"VIRELO_RELEASE_SITE={SITE}"], "make release needs VIRELO_SIGNING_KEY"),
            ([f"VIRELO_SIGNING_KEY={DEMO_PUB}", f"VIRELO_RELEASE_SITE={SITE}"], "demo keys"),
            ([f"VIRELO_SIGNING_KEY={self.key}", f"VIRELO_NEXT_SIGNING_KEY={DEMO_NEXT_PUB}",
              f"VIRELO_RELEASE_SITE={SITE}"], "demo keys"),
            ([f"VIRELO_SIGNING_KEY={pem}", f"VIRELO_RELEASE_SITE={SITE}"], "It is a PEM file: give the .pub file"),
            ([f"VIRELO_SIGNING_KEY={self.key}", f"VIRELO_NEXT_SIGNING_KEY={self.key}",
              f"VIRELO_RELEASE_SITE={SITE}"], "the same key"),
            ([f"VIRELO_SIGNING_KEY={self.key}", "VIRELO_RELEASE_SITE=http://downloads.example.test/"],
             "must be an https URL"),
        ]
        for variables, pattern in cases:
            with self.subTest(variables=variables):
                code, stdout, stderr = make("release", f"BUILD={self.build}", *variables)
                self.assertNotEqual(code, 0)
                self.assertRegex(" ".join((stdout + stderr).split()), pattern)
                self.assertFalse(os.path.exists(os.path.join(self.build, "release", "VireloSetup.exe")))

    def test_a_site_named_by_its_ip_address_is_warned_about(self):
        # Configuring is enough: the warning comes with the embedded constants.
        folder = self.path("ip-site")
        done = subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", folder, "-G", "Ninja",
                               f"-DCMAKE_TOOLCHAIN_FILE={SOURCE_DIR}/cmake/toolchain-mingw64.cmake",
                               "-DVIRELO_BUILD_TESTS=OFF", "-DVIRELO_PUBLISHER_RELEASE=ON",
                               f"-DVIRELO_SIGNING_KEY={self.key}",
                               "-DVIRELO_RELEASE_SITE=https://127.0.0.1:8443/virelo/"],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(folder, "release-constants.txt")) as f:
            constants = f.read()
        self.assertIn("the site's host is an IP address. Windows matches it against the certificate, Wine does "
                      "not", constants)
        self.assertIn("https://localhost:PORT/", constants)

    def test_tool_alone(self):
        code, stdout, stderr = make("tool", f"BUILD={self.build}")
        self.assertEqual(code, 0, stdout + stderr)
        tool = os.path.join(self.build, "host", "virelo-release")
        self.assertRegex(stdout, f"(?m)^built {re.escape(tool)}$")
        self.assertEqual(subprocess.run([tool, "--version"], capture_output=True, text=True).stdout,
                         subprocess.run([TOOL, "--version"], capture_output=True, text=True).stdout)
        built = [name for _, _, files in os.walk(self.build) for name in files if name.endswith("_tests")]
        self.assertEqual(built, [])
        self.assertFalse(os.path.exists(os.path.join(self.build, "windows")))


if __name__ == "__main__":
    unittest.main()
