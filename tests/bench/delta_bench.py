"""Bytes an update downloads, and what publishing the smaller downloads costs.

For pairs of consecutive releases of real Windows binaries that nobody here
wrote (from the npm registry's platform packages), and for the stand-in
padded to 100 MiB with a small change, `virelo-release publish` writes the
base and then the new release; the delta and the compressed copy it writes
are compared with what `zstd -19 --long=27 --patch-from` and `gzip -9` make
of the same files in the same run. Then the 100 MiB release is published
with deltas from its 3 predecessors, timed, with the peak memory of the tool
and its bsdiff processes together.

    python3 delta_bench.py TOOL STANDIN_EXE WORK_FOLDER
"""
import gzip
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tarfile
import threading
import time

KEY = os.path.join(os.path.dirname(__file__), "..", "..", "keys", "demo", "demo-signing-key.pem")

# (label, npm package, old version, new version, file inside the package)
REAL_PAIRS = [
    ("libvips-42.dll, C/C++ (MinGW)", "@img/sharp-win32-x64", "0.35.5", "0.35.6", "package/lib/libvips-42.dll"),
    ("esbuild.exe, Go", "@esbuild/win32-x64", "0.28.1", "0.28.2", "package/esbuild.exe"),
]


def npm_file(work, package, version, member):
    """The file from the package, fetched once into the work folder."""
    cache = os.path.join(work, "npm")
    os.makedirs(cache, exist_ok=True)
    target = os.path.join(cache, f"{package.replace('/', '_')}-{version}-{os.path.basename(member)}")
    if os.path.exists(target):
        return target
    done = subprocess.run(["npm", "pack", f"{package}@{version}", "--pack-destination", cache, "--silent"],
                          capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or "npm pack failed")
    tgz = os.path.join(cache, done.stdout.strip().splitlines()[-1])
    with tarfile.open(tgz) as archive:
        with archive.extractfile(member) as source, open(target, "wb") as out:
            shutil.copyfileobj(source, out)
    return target


class PeakMemory:
    """Samples the resident memory of a process and all its descendants."""

    def __init__(self, pid):
        self.pid, self.peak, self.running = pid, 0, True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def tree(self):
        children = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        parent = int(f.read().rsplit(")", 1)[1].split()[1])
                    children.setdefault(parent, []).append(int(entry))
                except (OSError, IndexError, ValueError):
                    pass
        found, todo = [], [self.pid]
        while todo:
            pid = todo.pop()
            found.append(pid)
            todo.extend(children.get(pid, []))
        return found

    def run(self):
        while self.running:
            total = 0
            for pid in self.tree():
                try:
                    with open(f"/proc/{pid}/status") as f:
                        for line in f:
                            if line.startswith("VmRSS:"):
                                total += int(line.split()[1]) * 1024
                except OSError:
                    pass
            self.peak = max(self.peak, total)
            time.sleep(0.05)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


def publish(tool, exe, version, folder, measure=False):
    args = [tool, "publish", "--key", KEY, "--exe", exe, "--version", version, "--name", f"Virelo-{version}.exe",
            "--out", folder, "--force"]
    start = time.monotonic()
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sampler = PeakMemory(process.pid) if measure else None
    out, err = process.communicate()
    seconds = time.monotonic() - start
    peak = sampler.stop() if sampler else 0
    if process.returncode != 0:
        raise RuntimeError(f"publish {version}: {err.strip()}")
    with open(os.path.join(folder, "manifest.json")) as f:
        return json.load(f), seconds, peak


def zstd_patch_size(old, new, scratch):
    out = os.path.join(scratch, "patch.zst")
    subprocess.run(["zstd", "-q", "-f", "-19", "--long=27", f"--patch-from={old}", new, "-o", out], check=True,
                   capture_output=True)
    return os.path.getsize(out)


def gzip9_size(path):
    with open(path, "rb") as f:
        return len(gzip.compress(f.read(), 9))


def compare(tool, label, old, new, work):
    folder = os.path.join(work, "release-" + hashlib.sha256(label.encode()).hexdigest()[:8])
    shutil.rmtree(folder, ignore_errors=True)
    publish(tool, old, "1.0.0", folder)
    manifest, seconds, _ = publish(tool, new, "1.0.1", folder)
    size = manifest["size"]
    deltas = list(manifest.get("deltas", {}).values())
    delta = deltas[0]["size"] if deltas else None
    compressed = manifest["compressed"]["size"]
    zstd = zstd_patch_size(old, new, work)
    gz = gzip9_size(new)
    pct = lambda n: f"{100 * n / size:5.2f} %"
    delta_text = f"{pct(delta)} ({delta / zstd:.2f} x zstd)" if delta else "none written"
    print(f"  {label}: {size / 1048576:.1f} MiB; delta {delta_text}, zstd patch {pct(zstd)}; "
          f"compressed copy {pct(compressed)} ({compressed / gz:.3f} x gzip -9), gzip -9 {pct(gz)}; "
          f"publish {seconds:.0f} s")
    shutil.rmtree(folder, ignore_errors=True)
    return (delta / zstd if delta else None), compressed / gz


def padded(standin, path, total, changes, seed=7):
    """The stand-in followed by pseudo-random bytes up to `total`, with
    `changes` (offset, bytes) applied: a large executable that changed a little."""
    with open(standin, "rb") as f:
        data = bytearray(f.read())
    data += random.Random(seed).randbytes(total - len(data))
    for offset, patch in changes:
        data[offset:offset + len(patch)] = patch
    with open(path, "wb") as f:
        f.write(data)
    return path


def main():
    tool, standin, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    ratios = []
    print("bytes of an update, as a share of the new file (targets: delta <= 1.1 x zstd -19 --long=27 "
          "--patch-from; compressed copy <= 1.1 x gzip -9):")
    for label, package, old_version, new_version, member in REAL_PAIRS:
        try:
            old = npm_file(work, package, old_version, member)
            new = npm_file(work, package, new_version, member)
        except (RuntimeError, OSError, subprocess.TimeoutExpired, KeyError) as error:
            print(f"  {label}: not measured, the npm registry did not give {package}: {error}")
            continue
        ratios.append(compare(tool, f"{label} {old_version} -> {new_version}", old, new, work))

    big = 100 * 1048576
    versions = []
    for i in range(4):
        # Each release changes a few KiB at spread places, as a rebuild does.
        changes = [(4096 + j * 9_000_000 + i * 777, random.Random(100 * i + j).randbytes(2048)) for j in range(i + 1)]
        versions.append(padded(standin, os.path.join(work, f"big-{i}.exe"), big, changes))
    ratios.append(compare(tool, "the stand-in padded to 100 MiB, a few KiB changed", versions[0], versions[1], work))

    for delta_ratio, gzip_ratio in ratios:
        if delta_ratio is None or delta_ratio > 1.1 or gzip_ratio > 1.1:
            print("  TARGET MISSED above")
    print("publishing a 100 MiB release with deltas from its 3 predecessors:")
    folder = os.path.join(work, "release-big")
    shutil.rmtree(folder, ignore_errors=True)
    for i, exe in enumerate(versions[:3]):
        publish(tool, exe, f"1.0.{i}", folder)
    manifest, seconds, peak = publish(tool, versions[3], "1.0.3", folder, measure=True)
    print(f"  {len(manifest.get('deltas', {}))} deltas and a compressed copy in {seconds:.0f} s on "
          f"{os.cpu_count()} processors, peak memory {peak / 1048576:.0f} MiB (the tool and its bsdiff processes "
          f"together)")
    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
