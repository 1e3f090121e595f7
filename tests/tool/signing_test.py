"""Code signing and what the tool reads out of an executable: `sign` through
osslsigncode with a throwaway self-signed certificate, `publish
--require-authenticode`, the version resource check of `publish`, and
`inspect` of the setup program's built-in constants."""

import os
import re
import shutil
import stat
import struct
import subprocess
import tempfile
import unittest

from pe_builder import version_info, write_pe
from tool_support import DEMO_KEY, DEMO_PUB, TempFolderTest, last_line, listing, make_pe, read, run_tool

OSSLSIGNCODE = shutil.which("osslsigncode")
SIGNER = "CN=Virelo Test Signer"  # the subject in any order of its parts


class Certificate:
    """A self-signed code-signing certificate as PEM files and as a PKCS#12
    file with a password, made once for the whole module."""

    def __init__(self, folder):
        self.key = os.path.join(folder, "signer.key")
        self.cert = os.path.join(folder, "signer.crt")
        self.p12 = os.path.join(folder, "signer.p12")
        self.password_file = os.path.join(folder, "password.txt")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/O=Halvik/CN=Virelo Test Signer", "-addext", "extendedKeyUsage=codeSigning",
                        "-keyout", self.key, "-out", self.cert], check=True, capture_output=True)
        with open(self.password_file, "w") as f:
            f.write("correct horse\n")
        subprocess.run(["openssl", "pkcs12", "-export", "-in", self.cert, "-inkey", self.key,
                        "-passout", "pass:correct horse", "-out", self.p12], check=True, capture_output=True)


def setUpModule():
    global CERT, _cert_folder
    _cert_folder = tempfile.TemporaryDirectory(prefix="virelo-cert-")
    CERT = Certificate(_cert_folder.name)


def tearDownModule():
    _cert_folder.cleanup()


def osslsigncode_accepts(path, ca):
    """The independent check: osslsigncode's own verification against the CA."""
    done = subprocess.run([OSSLSIGNCODE, "verify", "-CAfile", ca, "-in", path], capture_output=True, text=True)
    return done.returncode == 0


@unittest.skipUnless(OSSLSIGNCODE, "osslsigncode is not installed (scripts/bootstrap installs it)")
class SignTest(TempFolderTest):
    def sign(self, exe, *credentials):
        return run_tool("sign", *(credentials or ("--cert", CERT.p12, "--password-file", CERT.password_file)), exe)

    def test_signed_executable_publishes_with_require_authenticode_and_verifies(self):
        exe = self.path("Virelo.exe")
        write_pe(exe, version_block=version_info("1.4.2.0"))
        os.chmod(exe, 0o755)
        code, stdout, stderr = self.sign(exe)
        self.assertEqual(code, 0, stderr)
        self.assertRegex(stdout, f"^signed {re.escape(exe)} \\(Authenticode, SHA-256, signed by .*{SIGNER}.*\\)\n")
        self.assertIn("not time-stamped", stdout)
        self.assertTrue(osslsigncode_accepts(exe, CERT.cert))
        self.assertEqual(stat.S_IMODE(os.stat(exe).st_mode), 0o755)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["Virelo.exe"])  # no temporary left behind

        code, stdout, stderr = run_tool("inspect", exe)
        self.assertEqual(code, 0, stderr)
        self.assertRegex(stdout, f"(?m)^Authenticode: +signed by .*{SIGNER}.*$")
        code, _, stderr = run_tool("publish", "--key", DEMO_KEY, "--exe", exe, "--version", "1.4.2",
                                   "--name", "Virelo-1.4.2.exe", "--out", self.path("site"), "--require-authenticode")
        self.assertEqual(code, 0, stderr)
        code, stdout, stderr = run_tool("verify", "--key", DEMO_PUB, self.path("site"))
        self.assertEqual(code, 0, stderr)
        self.assertRegex(stdout, f"(?m)^Authenticode: signed by .*{SIGNER}.*$")

    def test_pem_certificate_and_key_and_a_separate_output(self):
        exe = self.path("VireloSetup.exe")
        original = write_pe(exe, seed=5)
        out = self.path("signed", "VireloSetup.exe")
        os.makedirs(self.path("signed"))
        code, _, stderr = run_tool("sign", "--cert", CERT.cert, "--key", CERT.key, "--out", out, exe)
        self.assertEqual(code, 0, stderr)
        self.assertEqual(read(exe), original)
        self.assertTrue(osslsigncode_accepts(out, CERT.cert))
        # Signing a signed file again replaces its signature rather than nesting one.
        code, _, stderr = self.sign(out)
        self.assertEqual(code, 0, stderr)
        self.assertTrue(osslsigncode_accepts(out, CERT.cert))

    def test_refusals_leave_the_executable_alone(self):
        exe = self.path("app.exe")
        original = write_pe(exe)
        make_pe(self.path("fake.exe"))
        with open(self.path("wrong-password.txt"), "w") as f:
            f.write("wrong\n")
        with open(self.path("existing.exe"), "w") as f:
            f.write("x")
        cases = [
            ("PEM certificate without key", ["--cert", CERT.cert], exe, "give its private key with --key"),
            ("PKCS#12 with a key", ["--cert", CERT.p12, "--key", CERT.key], exe, "leave out --key"),
            ("key as certificate", ["--cert", CERT.key, "--key", CERT.key], exe, "holds no certificate"),
            ("missing certificate", ["--cert", self.path("none.p12")], exe, "cannot read .*none.p12"),
            ("wrong password", ["--cert", CERT.p12, "--password-file", self.path("wrong-password.txt")], exe,
             "the password in .* does not open"),
            ("not an executable", ["--cert", CERT.p12, "--password-file", CERT.password_file], self.path("nope.exe"),
             "cannot read .*nope.exe"),
            ("existing output", ["--cert", CERT.p12, "--out", self.path("existing.exe")], exe, "already exists"),
            ("timestamp not a URL", ["--cert", CERT.p12, "--timestamp", "digicert"], exe, "RFC 3161"),
        ]
        for label, options, target, pattern in cases:
            with self.subTest(label):
                before = listing(self.tmp)
                code, stdout, stderr = run_tool("sign", *options, target)
                self.assertNotEqual(code, 0, stdout)
                self.assertOneErrorLine(stderr, pattern)
                self.assertEqual(listing(self.tmp), before)
        self.assertEqual(read(exe), original)

    def test_without_osslsigncode_it_says_how_to_install_it(self):
        exe = self.path("app.exe")
        original = write_pe(exe)
        done = subprocess.run([os.environ["VIRELO_RELEASE_TOOL"], "sign", "--cert", CERT.p12, exe],
                              capture_output=True, text=True, env={**os.environ, "PATH": self.path("empty-path")})
        self.assertNotEqual(done.returncode, 0)
        self.assertOneErrorLine(done.stderr, "needs osslsigncode.*apt-get install osslsigncode")
        self.assertEqual(read(exe), original)

    def test_signing_after_publish_is_refused(self):
        exe = self.path("app.exe")
        write_pe(exe)
        site = self.path("site")
        self.assertEqual(run_tool("publish", "--key", DEMO_KEY, "--exe", exe, "--version", "1.0", "--name",
                                  "Virelo-1.0.exe", "--out", site)[0], 0)
        before = listing(site)
        for name in ("Virelo-1.0.exe", "release.exe"):
            with self.subTest(name):
                code, _, stderr = self.sign(os.path.join(site, name))
                self.assertNotEqual(code, 0)
                self.assertOneErrorLine(stderr, "is named by the release manifest beside it .*Sign before publish")
                self.assertEqual(listing(site), before)
        # A signed copy elsewhere is what the message suggests; the release stays as it was.
        code, _, stderr = self.sign(os.path.join(site, "Virelo-1.0.exe"), "--cert", CERT.p12, "--password-file",
                                    CERT.password_file, "--out", self.path("signed.exe"))
        self.assertEqual(code, 0, stderr)
        self.assertEqual(listing(site), before)
        self.assertEqual(run_tool("verify", "--key", DEMO_PUB, site)[0], 0)


class RequireAuthenticodeTest(TempFolderTest):
    def test_unsigned_executables_are_refused(self):
        write_pe(self.path("plain.exe"))
        make_pe(self.path("headers-only.exe"))  # passes the header test, has no optional header
        for exe in ("plain.exe", "headers-only.exe"):
            with self.subTest(exe):
                code, _, stderr = run_tool("publish", "--key", DEMO_KEY, "--exe", self.path(exe), "--version", "1",
                                           "--out", self.path("site"), "--require-authenticode")
                self.assertNotEqual(code, 0)
                self.assertOneErrorLine(stderr, "Authenticode|not a Windows executable")
                self.assertFalse(os.path.exists(self.path("site")))


class VersionResourceTest(TempFolderTest):
    def test_version_must_match_the_executables_own(self):
        cases = [
            # (fixed version, strings, --version, accepted)
            ("1.1.0.0", None, "1.1.0", True),
            ("1.1.0.0", None, "1.1", True),
            ("1.1.0.0", None, "1.1.0.0", True),
            ("1.1.0.0", None, "1.2.0", False),
            ("1.1.0.0", None, "1.1.0-beta", False),
            ("1.1.0.7", {}, "1.1.0", False),
            ("2.0.0.0", {"ProductVersion": "2.0.0-rc.1"}, "2.0.0-rc.1", True),
            ("2.0.0.0", {"ProductVersion": "2.0.0-rc.1"}, "2.0.0", True),   # the fixed part
            ("2.0.0.0", {"FileVersion": " 2.1 "}, "2.1", True),             # texts are trimmed
            ("3.0.0.0", {}, "3.0.0", True),
        ]
        for fixed, strings, version, accepted in cases:
            with self.subTest(fixed=fixed, strings=strings, version=version):
                exe = self.path("app.exe")
                write_pe(exe, version_block=version_info(fixed, strings=strings))
                site = self.path("site")
                shutil.rmtree(site, ignore_errors=True)
                args = ["publish", "--key", DEMO_KEY, "--exe", exe, "--version", version, "--out", site]
                code, _, stderr = run_tool(*args)
                self.assertEqual(code == 0, accepted, stderr)
                if not accepted:
                    self.assertOneErrorLine(stderr, f"--version {re.escape(version)} does not match the version "
                                                    f"resource of .*app.exe.*--force")
                    self.assertFalse(os.path.exists(site))
                    code, _, stderr = run_tool(*args, "--force")
                    self.assertEqual(code, 0, stderr)
                    self.assertIn("published anyway (--force)", stderr)

    def test_without_a_readable_resource_it_warns(self):
        write_pe(self.path("none.exe"))
        broken = bytearray(write_pe(self.path("broken.exe"), version_block=version_info("1.0.0.0")))
        at = broken.index("VS_VERSION_INFO".encode("utf-16-le")) - 6
        broken[at:at + 2] = struct.pack("<H", 0xFFFF)  # wLength beyond the block
        with open(self.path("broken.exe"), "wb") as f:
            f.write(broken)
        for exe, pattern in (("none.exe", "has no version resource"), ("broken.exe", "the version resource is damaged.*")):
            with self.subTest(exe):
                code, _, stderr = run_tool("publish", "--key", DEMO_KEY, "--exe", self.path(exe), "--version", "9",
                                           "--out", self.path("site-" + exe))
                self.assertEqual(code, 0, stderr)
                self.assertRegex(stderr, f"warning: .*{pattern}; --version 9 is not checked")


def constants_record(keys, site, count=None):
    """The setup program's release constants record (src/release/release_constants_layout.h)."""
    marker = b"VIRELO-RELEASE-CONSTANTS/1".ljust(32, b"\0")
    slots = b"".join(keys).ljust(144, b"\0")
    return marker + bytes([len(keys) if count is None else count]) + bytes(7) + slots + site.ljust(512, b"\0")


class InspectTest(TempFolderTest):
    def program_with(self, *records):
        """A PE image whose data holds the given records, as the linker would place them."""
        data = bytearray(write_pe(self.path("VireloSetup.exe"), size=16384))
        at = 0x600
        for record in records:
            data[at:at + len(record)] = record
            at += len(record) + 64
        with open(self.path("VireloSetup.exe"), "wb") as f:
            f.write(data)
        return self.path("VireloSetup.exe")

    def test_reads_back_keys_and_site(self):
        self.assertEqual(run_tool("keygen", "--out", self.path("k"))[0], 0)
        own = read(self.path("k", "signing-key.pub"))
        demo = read(DEMO_PUB)
        own_print = __import__("hashlib").sha256(own).hexdigest()[:16]
        demo_print = __import__("hashlib").sha256(demo).hexdigest()[:16]
        site = b"https://downloads.example.test/virelo/"
        cases = [
            ("one key", [constants_record([own], site)], [f"signing key: +{own_print}$", "next signing key: +none$"]),
            ("two keys", [constants_record([own, demo], site)],
             [f"signing key: +{own_print}$", f"next signing key: +{demo_print} \\(a DEMO key: never ship"]),
            ("a broken record before the real one", [constants_record([own], site, count=3),
                                                     constants_record([own], site)], [f"signing key: +{own_print}$"]),
        ]
        for label, records, patterns in cases:
            with self.subTest(label):
                code, stdout, stderr = run_tool("inspect", self.program_with(*records))
                self.assertEqual(code, 0, stderr)
                for pattern in patterns + ["release site: +https://downloads.example.test/virelo/$"]:
                    self.assertRegex(stdout, "(?m)^" + pattern)

    def test_without_one_clear_record(self):
        site = b"https://downloads.example.test/virelo/"
        demo = read(DEMO_PUB)
        cases = [
            ("none", [], "is not a VireloSetup.exe built from this source\\)$"),
            ("two", [constants_record([demo], site), constants_record([demo], site)], "holds more than one"),
            ("key without its header", [constants_record([b"ECS2" + demo[4:]], site)], "is not a VireloSetup.exe"),
        ]
        for label, records, pattern in cases:
            with self.subTest(label):
                code, stdout, stderr = run_tool("inspect", self.program_with(*records))
                self.assertEqual(code, 0, stderr)
                self.assertRegex(stdout, "(?m)^release constants: none \\(.*" + pattern)
                self.assertNotIn("signing key:", stdout)
        code, _, stderr = run_tool("inspect", self.path("missing.exe"))
        self.assertNotEqual(code, 0)
        self.assertOneErrorLine(stderr, "cannot read")


if __name__ == "__main__":
    unittest.main()
