"""Start-up benchmark of the setup program under Wine: round trips, times
against floors measured in the same run, peak memory, the wait a broken site
can cause, and the window's CPU while it sweeps. Prints figures; nothing here
passes or fails. Run by scripts/bench, which sets up the Wine prefix and
exports its environment (WINEPREFIX, WINE, HOME, DISPLAY, WINEDEBUG).

    python3 startup_bench.py BUILD_DIR STATE_DIR SOURCE_DIR
"""
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import latency_proxy  # noqa: E402  (started in a thread below)

import asyncio  # noqa: E402

REPS = int(os.environ.get("BENCH_STARTUP_REPETITIONS", "3"))
SIZE_MIB = int(os.environ.get("BENCH_SIZE_MIB", "100"))
RTT_MS = 300


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Bench:
    def __init__(self, build, state, source):
        self.build, self.state, self.source = build, state, source
        self.wine = os.environ["WINE"]
        self.setup_exe = os.path.join(build, "windows", "VireloSetup.exe")
        self.floor_exe = os.path.join(build, "windows", "tests", "bench_floor.exe")
        self.tool = os.path.join(build, "host", "virelo-release")
        self.key = os.path.join(source, "keys", "demo", "demo-signing-key.pem")
        self.work = os.path.join(state, "startup")
        self.children = []
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

    # ---- processes -------------------------------------------------------
    def background(self, args, log):
        out = open(os.path.join(self.work, log), "w")
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.children.append(proc)
        return proc

    def wait_line(self, log, pattern, seconds=20):
        path = os.path.join(self.work, log)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if os.path.exists(path):
                match = re.search(pattern, open(path).read())
                if match:
                    return match
            time.sleep(0.05)
        raise SystemExit(f"bench: no '{pattern}' in {log}")

    def stop_all(self):
        for proc in self.children:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def run_windows(self, exe, args, env=None, timeout=120, watch=None, cwd=None):
        """Runs a Windows program to its end; wall seconds and peak RSS in KiB.
        `watch(elapsed)` may return True to end the wait early (the process is
        then killed)."""
        full_env = dict(os.environ, **(env or {}))
        start = time.monotonic()
        proc = subprocess.Popen([self.wine, exe] + args, env=full_env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)
        peak = 0
        early = None
        while proc.poll() is None:
            peak = max(peak, _vm_hwm(proc.pid))
            elapsed = time.monotonic() - start
            if watch and watch(elapsed):
                early = elapsed
                break
            if elapsed > timeout:
                break
            time.sleep(0.005)
        wall = time.monotonic() - start
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        return (early if early is not None else wall), peak

    # ---- the site ----------------------------------------------------------
    def publish(self, exe, version, folder, *extra):
        subprocess.run([self.tool, "publish", "--key", self.key, "--exe", exe, "--version", version,
                        "--name", f"Virelo-{version}.exe", "--out", folder, *extra], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def serve(self, folder, log):
        self.background([self.tool, "serve", "--root", folder, "--listen", "127.0.0.1:0"], log)
        return int(self.wait_line(log, r"listening on http://127\.0\.0\.1:(\d+)/").group(1))

    def proxy(self, upstream, rtt_ms, rate=0):
        ready = threading.Event()
        found = {}

        def run():
            def announce(port):
                found["port"] = port
                ready.set()
            asyncio.run(latency_proxy.serve(upstream, rtt_ms, announce, rate))

        threading.Thread(target=run, daemon=True).start()
        ready.wait(10)
        return found["port"]

    def misbehaving(self, mode):
        log = f"site-{mode}.log"
        self.background([sys.executable, os.path.join(HERE, "misbehaving_site.py"), mode], log)
        return int(self.wait_line(log, r"listening on (\d+)").group(1))

    # ---- runs of the setup program -----------------------------------------
    def test_folder(self, name):
        folder = os.path.join(self.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def setup_run(self, folder, port, extra_env=None, watch=None, timeout=120, from_setup_copy=False):
        """A run of the built program, or of the setup copy it installed in
        the test folder, as the Start-menu and desktop shortcuts start it."""
        env = {"DK_SETUP_TEST": windows_path(folder)}
        env.update(extra_env or {})
        install_folder = os.path.join(folder, "Programs", "Virelo")
        exe = os.path.join(install_folder, "VireloSetup.exe") if from_setup_copy else self.setup_exe
        return self.run_windows(exe, ["--site", f"http://127.0.0.1:{port}/"], env, timeout, watch,
                                cwd=install_folder if from_setup_copy else None)


def _vm_hwm(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def median(values):
    return statistics.median(values)


def spread(values):
    return f"{min(values):.2f}-{max(values):.2f}"


def main():
    build, state, source = sys.argv[1:4]
    bench = Bench(build, state, source)
    try:
        run(bench)
    finally:
        bench.stop_all()


def wanted(section):
    only = os.environ.get("BENCH_ONLY")
    return not only or section in only.split(",")


def run(bench):
    standin = os.path.join(bench.build, "windows", "Virelo.exe")
    small_site = os.path.join(bench.work, "site-small")
    big_site = os.path.join(bench.work, "site-big")
    big_exe = os.path.join(bench.work, "Virelo-big.exe")
    # The stand-in with an overlay of random bytes: still a program, any size.
    with open(big_exe, "wb") as out:
        out.write(open(standin, "rb").read())
        out.write(os.urandom(SIZE_MIB * 1048576))
    bench.publish(standin, "1.0.0", small_site)
    bench.publish(big_exe, "2.0.0", big_site, "--force")  # its version resource still says 1.0.0
    small_port = bench.serve(small_site, "serve-small.log")
    big_port = bench.serve(big_site, "serve-big.log")

    if wanted("rtt"):
        round_trips(bench, small_port)
    if wanted("big"):
        big_release(bench, big_port, small_port)
    if wanted("broken"):
        broken_site(bench, small_port)
    if wanted("cpu"):
        sweep_cpu(bench)
    if wanted("update"):
        update_through_a_slow_link(bench, standin)


def round_trips(bench, small_port):
    # ---- round trips at RTT_MS: the same runs through a front with no delay
    # and with the delay; the difference counts round trips.
    print(f"round trips at {RTT_MS} ms RTT (small release, median of {REPS}; a new connection costs one):")
    fronts = {0: bench.proxy(small_port, 0), RTT_MS: bench.proxy(small_port, RTT_MS)}
    times = {}
    for rtt, port in fronts.items():
        installs, currents = [], []
        for i in range(REPS):
            folder = bench.test_folder(f"rtt-{rtt}-{i}")
            installs.append(bench.setup_run(folder, port)[0])
            currents.append(bench.setup_run(folder, port, from_setup_copy=True)[0])
        times[rtt] = (installs, currents)
    for label, index, target in (("up-to-date check", 1, 2.5), ("first install", 0, 3.5)):
        base, slow = median(times[0][index]), median(times[RTT_MS][index])
        rounds = (slow - base) / (RTT_MS / 1000)
        print(f"  {label:17} {rounds:4.1f} round trips   (runs {spread(times[0][index])} s without delay, "
              f"{spread(times[RTT_MS][index])} s with; target <= {target})")



def big_release(bench, big_port, small_port):
    # ---- the big release, straight to the server.
    print(f"\n{SIZE_MIB} MiB release over loopback (median of {REPS}):")
    exe_url = f"http://127.0.0.1:{big_port}/api/release?f=exe"
    idle_peaks, window_peaks, floor_installs, floor_currents, installs, currents = [], [], [], [], [], []
    install_peaks, current_peaks, small_install_peaks, small_current_peaks = [], [], [], []
    least_peaks = []
    for i in range(REPS):
        small = bench.test_folder(f"small-{i}")
        small_install_peaks.append(bench.setup_run(small, small_port)[1])
        small_current_peaks.append(bench.setup_run(small, small_port, from_setup_copy=True)[1])
        idle_peaks.append(bench.run_windows(bench.floor_exe, ["idle", "1000"])[1])
        window_peaks.append(bench.run_windows(bench.floor_exe, ["idle-window", "1000"])[1])
        folder = bench.test_folder(f"big-{i}")
        least_peaks.append(bench.run_windows(bench.floor_exe, [
            "least-current", f"http://127.0.0.1:{small_port}/api/release?f=manifest",
            windows_path(os.path.join(folder, "least.lnk"))])[1])
        floor_file = os.path.join(folder, "floor.bin")
        floor_installs.append(bench.run_windows(bench.floor_exe, ["install", exe_url, windows_path(floor_file)])[0])
        wall, peak = bench.setup_run(folder, big_port)
        installs.append(wall)
        install_peaks.append(peak)
        installed = os.path.join(folder, "Programs", "Virelo", "Virelo.exe")
        floor_currents.append(bench.run_windows(bench.floor_exe, [
            "current", f"http://127.0.0.1:{big_port}/api/release?f=manifest",
            f"http://127.0.0.1:{big_port}/api/release?f=sig", windows_path(installed)])[0])
        # Every later start comes through a shortcut, which starts the setup copy.
        wall, peak = bench.setup_run(folder, big_port, from_setup_copy=True)
        currents.append(wall)
        current_peaks.append(peak)
        os.remove(floor_file)
    idle = median(idle_peaks)
    print(f"  install:    {median(installs):5.2f} s, floor (fetch, then hash, then write) {median(floor_installs):5.2f} s"
          f" -> {median(installs) / median(floor_installs):.2f}x the floor (target <= 1.0; runs {spread(installs)} s, "
          f"floor {spread(floor_installs)} s)")
    print(f"  up to date: {median(currents):5.2f} s, floor (two GETs, then read and hash) {median(floor_currents):5.2f} s"
          f" -> {median(currents) / median(floor_currents):.2f}x the floor (target <= 1.2; runs {spread(currents)} s, "
          f"floor {spread(floor_currents)} s)")
    print(f"  peak working set above a bare Wine process ({idle / 1024:.1f} MiB): "
          f"install {(median(install_peaks) - idle) / 1024:.1f} MiB (target <= 24), "
          f"up to date {(median(current_peaks) - idle) / 1024:.1f} MiB (target <= 8)")
    small_size = os.path.getsize(os.path.join(bench.build, "windows", "Virelo.exe")) / 1048576
    print(f"  the same runs for a {small_size:.2f} MiB release: install {(median(small_install_peaks) - idle) / 1024:.1f} MiB,"
          f" up to date {(median(small_current_peaks) - idle) / 1024:.1f} MiB"
          f" (runs {spread([p / 1024 for p in install_peaks])} and {spread([p / 1024 for p in current_peaks])} MiB"
          f" for {SIZE_MIB} MiB, peaks before the bare process is taken off)")
    windowed = median(window_peaks)
    print(f"  above a bare Wine process with COM initialised and a hidden window ({windowed / 1024:.1f} MiB), "
          f"which the program needs for its window and shortcuts: install {(median(install_peaks) - windowed) / 1024:.1f}"
          f" MiB, up to date {(median(current_peaks) - windowed) / 1024:.1f} MiB")
    least = median(least_peaks)
    print(f"  a program that does only what every up-to-date start must (COM, a hidden window, a worker thread, one GET,"
          f" an ECDSA check, a shell link) peaks {(least - idle) / 1024:.1f} MiB above a bare Wine process"
          f" (runs {spread([(p - idle) / 1024 for p in least_peaks])}); the up-to-date start is"
          f" {(median(current_peaks) - least) / 1024:.1f} MiB above that")



def broken_site(bench, small_port):
    # ---- a broken site, with Virelo installed: seconds until it starts.
    print("\nwith Virelo installed, seconds from the start until the installed copy runs (target <= 10):")
    folder = bench.test_folder("broken")
    bench.setup_run(folder, small_port)
    for mode in ("hang", "drip", "blackhole"):
        port = bench.misbehaving(mode)
        results = []
        for i in range(REPS):
            record = os.path.join(folder, f"start-{mode}-{i}.txt")
            env = {"VIRELO_STANDIN_RECORD": windows_path(record)}
            start = time.monotonic()
            bench.setup_run(folder, port, env, watch=lambda _: os.path.exists(record), timeout=60)
            # The setup program ends right after starting Virelo, which may
            # take a moment more to write its record.
            while not os.path.exists(record) and time.monotonic() - start < 60:
                time.sleep(0.01)
            wall = time.monotonic() - start
            if not os.path.exists(record):
                error = os.path.join(folder, "setup-error.txt")
                note = open(error).read() if os.path.exists(error) else "no start and no error report"
                print(f"  {mode}: the installed copy did not start within 60 s ({note})")
                results.append(float("inf"))
                continue
            results.append(wall)
        print(f"  {mode:10} {median(results):5.2f} s (runs {spread(results)} s)")



def padded_standin(standin, path, changed_at):
    """The stand-in followed by the same pseudo-random bytes up to SIZE_MIB,
    with 4 KiB changed at `changed_at` (None: unchanged): consecutive builds
    of a large program."""
    data = bytearray(open(standin, "rb").read())
    data += random.Random(11).randbytes(SIZE_MIB * 1048576 - len(data))
    if changed_at is not None:
        data[changed_at:changed_at + 4096] = random.Random(changed_at).randbytes(4096)
    with open(path, "wb") as out:
        out.write(data)
    return path


def update_through_a_slow_link(bench, standin):
    # ---- an update of a large release through a 10 Mbit/s link: through the
    # delta the release offers, and through the whole executable.
    rate = 10_000_000 / 8
    print(f"\nan update of a {SIZE_MIB} MiB release through a {rate * 8 / 1e6:.0f} Mbit/s link, 20 ms RTT (one run each):")
    v1 = padded_standin(standin, os.path.join(bench.work, "Virelo-v1.exe"), None)
    v2 = padded_standin(standin, os.path.join(bench.work, "Virelo-v2.exe"), 50 * 1048576)
    first = os.path.join(bench.work, "site-update-first")
    with_delta = os.path.join(bench.work, "site-update-delta")
    whole = os.path.join(bench.work, "site-update-whole")
    bench.publish(v1, "1.0.0", first, "--force")
    bench.publish(v1, "1.0.0", with_delta, "--force")
    start = time.monotonic()
    bench.publish(v2, "1.0.1", with_delta, "--force")
    publish_seconds = time.monotonic() - start
    bench.publish(v2, "1.0.1", whole, "--force", "--deltas", "0")
    first_port = bench.serve(first, "serve-update-first.log")
    idle = median([bench.run_windows(bench.floor_exe, ["idle", "1000"])[1] for _ in range(3)])
    results = {}
    for label, site in (("delta", with_delta), ("whole", whole)):
        folder = bench.test_folder(f"update-{label}")
        # Test mode keeps one serial for all test folders: the earlier update's would refuse 1.0.0.
        subprocess.run([bench.wine, "reg", "delete", "HKCU\\Software\\VireloSetupTest", "/f"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        bench.setup_run(folder, first_port)  # 1.0.0 installed over loopback
        port = bench.proxy(bench.serve(site, f"serve-update-{label}.log"), 20, rate)
        results[label] = bench.setup_run(folder, port, from_setup_copy=True, timeout=600)
        installed = os.path.join(folder, "Programs", "Virelo", "Virelo.exe")
        if open(installed, "rb").read() != open(v2, "rb").read():
            print(f"  {label}: the update did not install the new release")
    delta_bytes = sum(os.path.getsize(os.path.join(with_delta, n)) for n in os.listdir(with_delta) if n.endswith(".vdelta"))
    print(f"  through the delta ({delta_bytes} bytes): {results['delta'][0]:6.2f} s until Virelo runs; "
          f"through the whole executable: {results['whole'][0]:6.2f} s "
          f"({results['whole'][0] / results['delta'][0]:.0f}x as long)")
    print(f"  peak working set of the delta update: {(results['delta'][1] - idle) / 1024:.1f} MiB above a bare Wine "
          f"process ({idle / 1024:.1f} MiB; target <= 32), the whole-file update "
          f"{(results['whole'][1] - idle) / 1024:.1f} MiB")
    print(f"  (publishing 1.0.1 with its delta from 1.0.0 took {publish_seconds:.0f} s)")


def sweep_cpu(bench):
    # ---- the window's CPU while it sweeps: a first install against a site
    # that never answers, in normal mode so the window is on the screen.
    port = bench.misbehaving("hang")
    proc = subprocess.Popen([bench.wine, bench.setup_exe, "--site", f"http://127.0.0.1:{port}/"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(2)
        cpu_start, wall_start = _cpu_seconds(proc.pid), time.monotonic()
        time.sleep(10)
        share = (_cpu_seconds(proc.pid) - cpu_start) / (time.monotonic() - wall_start) * 100
        print(f"\nthe progress window while it sweeps: {share:.1f} % of one core over 10 s (target <= 2)")
    finally:
        proc.kill()
        proc.wait()


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    main()
