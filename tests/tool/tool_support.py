"""Shared fixtures of the release tool's tests: the tool, the demo key, fake
executables, folder listings and small HTTP helpers."""

import base64
import hashlib
import http.client
import os
import re
import socket
import struct
import subprocess
import tempfile
import unittest

TOOL = os.environ["VIRELO_RELEASE_TOOL"]
SOURCE_DIR = os.environ["VIRELO_SOURCE_DIR"]
DEMO_KEY = os.path.join(SOURCE_DIR, "keys", "demo", "demo-signing-key.pem")
DEMO_PUB = os.path.join(SOURCE_DIR, "keys", "demo", "demo-signing-key.pub")


def run_tool(*args, umask=None, timeout=60):
    """Runs virelo-release; returns (exit code, stdout, stderr) as text."""
    preexec = (lambda: os.umask(umask)) if umask is not None else None
    done = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=timeout,
                          preexec_fn=preexec)
    return done.returncode, done.stdout, done.stderr


def make_pe(path, size=4096, seed=0):
    """A file that passes the PE header test: MZ, e_lfanew 0x80, "PE\\0\\0"."""
    data = bytearray(size)
    data[0:2] = b"MZ"
    data[0x3C:0x40] = struct.pack("<I", 0x80)
    data[0x80:0x84] = b"PE\0\0"
    for i in range(0x100, size):
        data[i] = (i * 31 + seed * 7) & 0xFF
    with open(path, "wb") as f:
        f.write(data)
    return bytes(data)


def listing(folder):
    """Every entry below a folder with its bytes, so any change shows."""
    entries = {}
    if not os.path.exists(folder):
        return None
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, folder)
            if os.path.islink(path) or os.path.isdir(path):
                entries[rel] = "link" if os.path.islink(path) else "dir"
            else:
                with open(path, "rb") as f:
                    entries[rel] = hashlib.sha256(f.read()).hexdigest()
    return entries


def last_line(text):
    """The last line of a command's output, with its line end."""
    lines = text.splitlines(keepends=True)
    return lines[-1] if lines else ""


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def der_to_raw(der):
    """DER ECDSA-Sig-Value to the 64-byte r || s form."""
    assert der[0] == 0x30, der.hex()
    pos = 2
    values = []
    for _ in range(2):
        assert der[pos] == 0x02
        length = der[pos + 1]
        value = der[pos + 2:pos + 2 + length]
        values.append(value.lstrip(b"\0").rjust(32, b"\0"))
        pos += 2 + length
    return values[0] + values[1]


def openssl_sign(key, path):
    """Signs a file with the openssl command line; returns the DER signature."""
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, path],
                          capture_output=True, check=True).stdout


def sign_folder_with_openssl(folder, key=DEMO_KEY, wrap=None, padding=True):
    der = openssl_sign(key, os.path.join(folder, "manifest.json"))
    text = base64.b64encode(der_to_raw(der)).decode()
    if not padding:
        text = text.rstrip("=")
    if wrap:
        text = "\n".join(text[i:i + wrap] for i in range(0, len(text), wrap)) + "\n"
    with open(os.path.join(folder, "manifest.sig"), "w") as f:
        f.write(text)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(port, target, method="GET", host="127.0.0.1", headers=()):
    """One request with the target sent exactly as given; (status, headers, body)."""
    connection = http.client.HTTPConnection(host, port, timeout=20)
    try:
        connection.putrequest(method, target, skip_accept_encoding=True)
        for name, value in headers:
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


class TempFolderTest(unittest.TestCase):
    """A fresh temporary folder per test, readable by other users (nginx workers)."""

    def setUp(self):
        self._temp = tempfile.TemporaryDirectory(prefix="virelo-tool-")
        self.tmp = self._temp.name
        os.chmod(self.tmp, 0o755)

    def tearDown(self):
        self._temp.cleanup()

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def plant_unservable_entries(self, site):
        """A subfolder, a staging folder with a manifest in it, and a link to a
        readable file outside the site: a release site must serve none of them."""
        os.makedirs(os.path.join(site, "sub"))
        os.makedirs(os.path.join(site, ".publish-abc"))
        with open(os.path.join(site, ".publish-abc", "manifest.json"), "w") as f:
            f.write("staged")
        with open(self.path("secret.txt"), "w") as f:
            f.write("outside the root")
        os.chmod(self.path("secret.txt"), 0o644)
        os.symlink(self.path("secret.txt"), os.path.join(site, "escape.txt"))

    def publish_demo(self, out, version="1.4.2", name="Virelo-1.4.2.exe", size=4096, seed=0):
        exe = self.path(f"build-{version}-{seed}.exe")
        data = make_pe(exe, size, seed)
        code, stdout, stderr = run_tool("publish", "--key", DEMO_KEY, "--exe", exe, "--version", version,
                                        "--name", name, "--out", out)
        self.assertEqual(code, 0, stderr)
        return data

    def assertOneErrorLine(self, stderr, pattern=None):
        # The test executables are unsigned, which publish warns about every time.
        lines = [line for line in stderr.splitlines() if "carries no Authenticode signature, so" not in line]
        self.assertEqual(len(lines), 1, stderr)
        self.assertTrue(lines[0].startswith("virelo-release: "), stderr)
        if pattern:
            self.assertRegex(lines[0], re.compile(pattern, re.I))
