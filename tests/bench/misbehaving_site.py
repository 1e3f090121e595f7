"""A release site that misbehaves on purpose, for the start-up benchmark.

    python3 misbehaving_site.py MODE   # prints "listening on PORT"

MODE hang: accepts, reads the request, answers nothing.
MODE drip: answers 200 with a body of 400 bytes, one byte every 2 s.
MODE blackhole: listens but never accepts, and fills its small backlog
itself, so further connection attempts get no answer at all (the kernel drops
them), as from an address that swallows packets.
Everything is on loopback and ends when the process is killed.
"""
import socket
import sys
import threading
import time


def _hang(conn):
    conn.recv(65536)
    while True:
        time.sleep(60)


def _drip(conn):
    conn.recv(65536)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 400\r\n\r\n")
    for _ in range(400):
        time.sleep(2)
        conn.sendall(b"x")


def main():
    mode = sys.argv[1]
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    if mode == "blackhole":
        listener.listen(0)
        # Fill the accept queue; the kernel then drops new connection requests.
        fillers = []
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            try:
                s.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass
            fillers.append(s)
        time.sleep(0.2)
        print(f"listening on {port}", flush=True)
        while True:
            time.sleep(60)
    listener.listen(64)
    print(f"listening on {port}", flush=True)
    handler = {"hang": _hang, "drip": _drip}[mode]
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handler, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
