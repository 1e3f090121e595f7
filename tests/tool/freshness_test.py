"""The manifest's freshness fields as the tool writes them: the serial that
grows with every publish to a folder, the expiry, and `refresh`, which renews
both and nothing else."""

import datetime
import json
import os
import re
import time
import unittest

from tool_support import (DEMO_KEY, DEMO_PUB, TempFolderTest, last_line, listing, make_pe, read, run_tool,
                          sign_folder_with_openssl)

MAX_SERIAL = 2 ** 53
PUBLISH_LIMIT = 2 ** 52  # the highest serial the tool writes
EXPIRY = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")


def manifest_of(folder):
    return json.loads(read(os.path.join(folder, "manifest.json")))


def expiry_seconds(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc).timestamp()


class FreshnessTest(TempFolderTest):
    def setUp(self):
        super().setUp()
        self.site = self.path("site")
        self.exe = self.path("app.exe")
        make_pe(self.exe)

    def publish(self, *extra, folder=None, version="1.0"):
        return run_tool("publish", "--key", DEMO_KEY, "--exe", self.exe, "--version", version, "--name",
                        "Virelo-1.0.exe", "--out", folder or self.site, *extra)

    def write_manifest(self, text):
        """A manifest of the tool's layout but chosen fields, signed with the demo key."""
        with open(os.path.join(self.site, "manifest.json"), "w") as f:
            f.write(text)
        sign_folder_with_openssl(self.site)

    def current_manifest_text(self):
        return read(os.path.join(self.site, "manifest.json"), "r")

    def test_each_publish_takes_the_next_serial(self):
        for expected in (1, 2, 3):
            code, stdout, stderr = self.publish()
            self.assertEqual(code, 0, stderr)
            self.assertEqual(manifest_of(self.site)["serial"], expected)
            self.assertIn(f"serial {expected}", stdout)
        # Another folder counts on its own.
        self.assertEqual(self.publish(folder=self.path("beta"))[0], 0)
        self.assertEqual(manifest_of(self.path("beta"))["serial"], 1)
        # A manifest from before serials counts as none: the next one is 1.
        without = self.current_manifest_text().replace(',\n  "serial": 3', "")
        self.write_manifest(without)
        self.assertEqual(self.publish()[0], 0)
        self.assertEqual(manifest_of(self.site)["serial"], 1)

    def test_serial_option_must_be_higher_than_the_current_one(self):
        self.assertEqual(self.publish("--serial", "5")[0], 0)
        cases = [
            ("5", "not higher than serial 5"),
            ("4", "not higher than serial 5"),
            ("0", "--serial 0 must be"),
            ("05", "--serial 05 must be"),
            ("+6", "--serial \\+6 must be"),
            ("6.0", "--serial 6.0 must be"),
            (str(MAX_SERIAL + 1), "must be a whole number from 1 to 9007199254740992"),
        ]
        for serial, pattern in cases:
            with self.subTest(serial=serial):
                before = listing(self.site)
                code, _, stderr = self.publish("--serial", serial)
                self.assertNotEqual(code, 0)
                self.assertOneErrorLine(stderr, pattern)
                self.assertEqual(listing(self.site), before)
        self.assertEqual(self.publish("--serial", "100")[0], 0)
        self.assertEqual(self.publish()[0], 0)
        self.assertEqual(manifest_of(self.site)["serial"], 101)

    def test_serials_stop_where_the_release_line_still_has_room(self):
        # A serial setup programs accept but no later one could follow is refused.
        for serial in (str(PUBLISH_LIMIT + 1), str(MAX_SERIAL)):
            with self.subTest(serial=serial):
                code, _, stderr = self.publish("--serial", serial)
                self.assertNotEqual(code, 0)
                self.assertOneErrorLine(stderr, f"--serial {serial} leaves the release line no room to grow: "
                                                f"serials go up to {PUBLISH_LIMIT} \\(2\\^52\\)")
                self.assertFalse(os.path.exists(os.path.join(self.site, "manifest.json")))
        self.assertEqual(self.publish("--serial", str(PUBLISH_LIMIT - 1))[0], 0)
        self.assertEqual(run_tool("refresh", "--key", DEMO_KEY, "--out", self.site)[0], 0)
        self.assertEqual(manifest_of(self.site)["serial"], PUBLISH_LIMIT)
        # At the limit, and beyond it (a folder an older tool wrote), neither
        # a publish nor a refresh takes the next.
        for current in (PUBLISH_LIMIT, MAX_SERIAL):
            self.write_manifest(re.sub(r'"serial": \d+', f'"serial": {current}', self.current_manifest_text()))
            before = listing(self.site)
            for command in (self.publish, lambda: run_tool("refresh", "--key", DEMO_KEY, "--out", self.site)):
                with self.subTest(current=current, command=command):
                    code, _, stderr = command()
                    self.assertNotEqual(code, 0)
                    self.assertOneErrorLine(stderr, f"has serial {current}, and serials go up to {PUBLISH_LIMIT}")
                    self.assertEqual(listing(self.site), before)

    def test_a_malformed_current_serial_needs_an_explicit_one(self):
        self.assertEqual(self.publish()[0], 0)
        self.write_manifest(self.current_manifest_text().replace('"serial": 1', '"serial": "01"'))
        code, _, stderr = self.publish()
        self.assertNotEqual(code, 0)
        self.assertOneErrorLine(stderr, 'malformed field: "serial" \\(01\\).*--serial N')
        self.assertEqual(self.publish("--serial", "7")[0], 0)
        self.assertEqual(manifest_of(self.site)["serial"], 7)

    def test_expires_in_days(self):
        self.assertEqual(self.publish()[0], 0)
        self.assertNotIn("expires", manifest_of(self.site))
        before = time.time()
        code, stdout, stderr = self.publish("--expires-in", "30")
        self.assertEqual(code, 0, stderr)
        expires = manifest_of(self.site)["expires"]
        self.assertRegex(expires, EXPIRY)
        self.assertIn("expires " + expires, stdout)
        self.assertLessEqual(abs(expiry_seconds(expires) - (before + 30 * 86400)), 5)
        for days in ("0", "3651", "-1", "1.5", "07", "x"):
            with self.subTest(days=days):
                code, _, stderr = self.publish("--expires-in", days)
                self.assertNotEqual(code, 0)
                self.assertOneErrorLine(stderr, f"--expires-in {re.escape(days)} must be a whole number of days")
        self.assertEqual(self.publish("--expires-in", "3650")[0], 0)

    def test_refresh_changes_only_serial_expiry_and_signature(self):
        self.assertEqual(self.publish("--expires-in", "1")[0], 0)
        before_files = listing(self.site)
        before_manifest = self.current_manifest_text()
        exe_stat = os.stat(os.path.join(self.site, "Virelo-1.0.exe"))
        time.sleep(1.1)  # a new expiry must differ even when the day count is the same
        code, stdout, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.site, "--expires-in", "1")
        self.assertEqual(code, 0, stderr)
        self.assertEqual(stdout.splitlines()[:2], [f"wrote {self.site}/manifest.sig",
                                                   f"wrote {self.site}/manifest.json (Virelo 1.0, serial 2, "
                                                   f"expires {manifest_of(self.site)['expires']})"])
        after_files = listing(self.site)
        changed = {name for name in before_files.keys() | after_files.keys()
                   if before_files.get(name) != after_files.get(name)}
        self.assertEqual(changed, {"manifest.json", "manifest.sig"})
        self.assertEqual(os.stat(os.path.join(self.site, "Virelo-1.0.exe")).st_mtime_ns, exe_stat.st_mtime_ns)
        old_lines = before_manifest.splitlines()
        new_lines = self.current_manifest_text().splitlines()
        self.assertEqual(len(old_lines), len(new_lines))
        differing = [(a, b) for a, b in zip(old_lines, new_lines) if a != b]
        self.assertEqual([a.split(":")[0] for a, _ in differing], ['  "serial"', '  "expires"'])
        self.assertEqual(manifest_of(self.site)["serial"], 2)
        self.assertGreater(expiry_seconds(manifest_of(self.site)["expires"]), expiry_seconds(
            json.loads(before_manifest)["expires"]))
        code, stdout, stderr = run_tool("verify", "--key", DEMO_PUB, self.site)
        self.assertEqual((code, last_line(stdout)), (0, "OK: Virelo 1.0 (Virelo-1.0.exe, 4096 bytes)\n"), stderr)

    def test_refresh_without_an_expiry(self):
        self.assertEqual(self.publish()[0], 0)
        code, _, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.site)
        self.assertEqual(code, 0, stderr)
        self.assertEqual(manifest_of(self.site)["serial"], 2)
        self.assertNotIn("expires", manifest_of(self.site))
        # An expiry once given is only renewed, never dropped by leaving the option out.
        code, _, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.site, "--expires-in", "5")
        self.assertEqual(code, 0, stderr)
        before = listing(self.site)
        code, _, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.site)
        self.assertNotEqual(code, 0)
        self.assertOneErrorLine(stderr, "expires; give the new expiry with --expires-in DAYS")
        self.assertEqual(listing(self.site), before)

    def test_refresh_signs_only_what_verifies_and_what_publish_wrote(self):
        self.assertEqual(run_tool("keygen", "--out", self.path("other"))[0], 0)
        other = self.path("other", "signing-key.pem")
        self.assertEqual(self.publish()[0], 0)
        published = self.current_manifest_text()

        def tamper_executable():
            path = os.path.join(self.site, "Virelo-1.0.exe")
            data = bytearray(read(path))
            data[-1] ^= 1
            os.remove(path)  # release.exe is a hard link of it
            with open(path, "wb") as f:
                f.write(data)

        cases = [
            ("another key", lambda: None, other, "does not verify under key [0-9a-f]{16} \\(the --key given\\), so it "
             "is not signed again: it was signed by another key"),
            ("changed executable", tamper_executable, DEMO_KEY,
             "does not verify, so it is not signed again: .*SHA-256"),
            ("hand-written manifest", lambda: self.write_manifest(published.replace("\n  ", " ")), DEMO_KEY,
             "not written by virelo-release publish"),
            ("public key given", lambda: None, DEMO_PUB, "is the 72-byte public key"),
        ]
        for label, spoil, key, pattern in cases:
            with self.subTest(label):
                self.assertEqual(self.publish()[0], 0)
                spoil()
                before = listing(self.site)
                code, _, stderr = run_tool("refresh", "--key", key, "--out", self.site)
                self.assertNotEqual(code, 0)
                self.assertOneErrorLine(stderr, pattern)
                self.assertEqual(listing(self.site), before)
        code, _, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.path("nothing"))
        self.assertOneErrorLine(stderr, "no such release folder")
        os.makedirs(self.path("empty"))
        code, _, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.path("empty"))
        self.assertOneErrorLine(stderr, "has no manifest.json; refresh renews a published release")

    def test_verify_refuses_expired_and_malformed_fields_and_refresh_mends_an_expiry(self):
        self.assertEqual(self.publish("--expires-in", "1")[0], 0)
        text = self.current_manifest_text()
        expires = manifest_of(self.site)["expires"]
        cases = [
            (text.replace(expires, "2001-01-01T00:00:00Z"), "expired at 2001-01-01T00:00:00Z"),
            (text.replace(expires, "2030-02-29T00:00:00Z"), 'damaged: "expires" \\(2030-02-29T00:00:00Z\\)'),
            (text.replace(expires, expires[:-1]), 'damaged: "expires"'),
            (text.replace('"serial": 1', '"serial": 0'), 'damaged: "serial" \\(0\\)'),
            (text.replace('"serial": 1', f'"serial": {MAX_SERIAL + 1}'), 'damaged: "serial"'),
        ]
        for manifest, pattern in cases:
            with self.subTest(pattern):
                self.write_manifest(manifest)
                code, stdout, stderr = run_tool("verify", "--key", DEMO_PUB, self.site)
                self.assertNotEqual(code, 0)
                self.assertEqual(stdout, "")
                self.assertOneErrorLine(stderr, pattern)
        self.write_manifest(text.replace(expires, "2001-01-01T00:00:00Z"))
        code, _, stderr = run_tool("refresh", "--key", DEMO_KEY, "--out", self.site, "--expires-in", "2")
        self.assertEqual(code, 0, stderr)
        self.assertEqual(run_tool("verify", "--key", DEMO_PUB, self.site)[0], 0)


if __name__ == "__main__":
    unittest.main()
