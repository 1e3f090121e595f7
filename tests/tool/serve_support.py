"""Support for the tests of `virelo-release serve`: the server in the
background with its output collected, and raw-socket clients that send
exactly the bytes a test gives and read every byte that comes back."""

import re
import signal
import socket
import subprocess
import time

from tool_support import TOOL, read

# The manifest through the release API, as a keep-alive client asks for it.
MANIFEST = b"GET /api/release?f=manifest HTTP/1.1\r\nHost: t\r\n\r\n"


class Server:
    """`virelo-release serve` in the background, with its output collected."""

    def __init__(self, test, root, *extra):
        self.out_path = test.path(f"serve-{time.monotonic_ns()}.out")
        self.err_path = self.out_path[:-4] + ".err"
        self._out = open(self.out_path, "w")
        self._err = open(self.err_path, "w")
        self.process = subprocess.Popen([TOOL, "serve", "--root", root, "--listen", "127.0.0.1:0", *extra],
                                        stdout=self._out, stderr=self._err)
        deadline = time.monotonic() + 20
        first = ""
        while time.monotonic() < deadline and "\n" not in first:
            if self.process.poll() is not None:
                break
            first = read(self.out_path, "r")
            time.sleep(0.02)
        match = re.match(r"listening on (https?)://127\.0\.0\.1:(\d+)(/\S*)\n", first)
        if not match:
            self.stop()
            raise AssertionError(f"no listening line: {first!r} {read(self.err_path, 'r')!r}")
        self.scheme, self.port, self.prefix = match.group(1), int(match.group(2)), match.group(3)

    def log_lines(self):
        return read(self.out_path, "r").splitlines()[1:]

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            code = self.process.wait(timeout=20)
        finally:
            if self.process.poll() is None:
                self.process.kill()
            self._out.close()
            self._err.close()
        return code


def connect(port, source="127.0.0.1", timeout=10):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))


def receive_all(sock, quiet_seconds):
    """Everything until the server closes (True) or is quiet for `quiet_seconds` (False)."""
    sock.settimeout(quiet_seconds)
    data = b""
    while True:
        try:
            chunk = sock.recv(1 << 16)
        except socket.timeout:
            return data, False
        except ConnectionResetError:
            return data, True
        if not chunk:
            return data, True
        data += chunk


def keep_alive(port, source):
    """A connection that has had one answer and waits for its next request."""
    sock = connect(port, source)
    sock.sendall(MANIFEST)
    data = b""
    while b"\r\n\r\n" not in data or len(answers(data)[0][2]) < int(answers(data)[0][1]["content-length"]):
        chunk = sock.recv(1 << 16)
        if not chunk:
            raise AssertionError(f"closed after {data!r}")
        data += chunk
    assert answers(data)[0][0] == 200, data
    return sock


def exchange(port, data, quiet_seconds=10, source="127.0.0.1"):
    with connect(port, source) as sock:
        sock.sendall(data)
        return receive_all(sock, quiet_seconds)


def answers(data, head_only=False):
    """[(status, {lower-case name: value}, body)] of the answers in a byte stream."""
    found = []
    while data:
        head, separator, rest = data.partition(b"\r\n\r\n")
        if not separator:
            raise AssertionError(f"incomplete answer: {data[:200]!r}")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ")[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = 0 if head_only or status == 304 else int(headers.get("content-length", "0"))
        found.append((status, headers, rest[:length]))
        data = rest[length:]
    return found


def pipelined(sock, request, count, batch=100):
    """Sends `request` `count` times, `batch` at a time, and returns how many
    answers came back complete (each read waits at most the socket's timeout)."""
    data, answered = b"", 0
    try:
        while answered < count:
            wanted = min(batch, count - answered)
            sock.sendall(request * wanted)
            for _ in range(wanted):
                while True:
                    end = data.find(b"\r\n\r\n")
                    length = re.search(rb"(?i)content-length: (\d+)", data[:end]) if end >= 0 else None
                    if length and len(data) >= end + 4 + int(length.group(1)):
                        data = data[end + 4 + int(length.group(1)):]
                        break
                    chunk = sock.recv(1 << 20)
                    if not chunk:
                        return answered
                    data += chunk
                answered += 1
    except OSError:
        pass
    return answered


def dropped_counts(text):
    """The figures of the log's notices about dropped lines."""
    return [int(n) for n in re.findall(r"(?m)^\S+Z - (\d+) log lines dropped: the log's reader did not keep up$",
                                       text)]


def resident_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {field} for {pid}")
