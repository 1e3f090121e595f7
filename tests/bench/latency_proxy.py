"""A TCP front that adds the delays of a long link to a loopback server.

A new connection pays one round trip before its first bytes reach the
server (the handshake), and every byte then travels one way in RTT/2, in both
directions. With a rate, the answers (server to client) of all connections
together go no faster than that many bytes per second, as through one link.

    python3 latency_proxy.py UPSTREAM_PORT RTT_MS [BYTES_PER_S]   # prints "listening on PORT"
"""
import asyncio
import sys
import time


class Link:
    """A shared downlink: each piece leaves when the ones before it have."""

    def __init__(self, rate):
        self.rate, self.free_at = rate, 0.0

    def departure(self, size):
        if not self.rate:
            return time.monotonic()
        self.free_at = max(self.free_at, time.monotonic()) + size / self.rate
        return self.free_at


async def _relay(reader, writer, delay, not_before, link=None):
    """Copies reader to writer, each piece arriving `delay` after it was read
    (or after the link has carried it) and never before `not_before` + `delay`."""
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    delivering = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(1 << 14 if link else 1 << 16)
            sent = link.departure(len(data)) if link and data else time.monotonic()
            due = max(sent, not_before) + delay
            await queue.put((due, data or None))
            if not data:
                break
    except (ConnectionError, OSError):
        await queue.put((time.monotonic(), None))
    try:
        await delivering
    except (ConnectionError, OSError):
        pass


async def _connection(client_reader, client_writer, upstream_port, rtt, link=None):
    accepted = time.monotonic()
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
    except OSError:
        client_writer.close()
        return
    half = rtt / 2
    await asyncio.gather(
        _relay(client_reader, server_writer, half, accepted + rtt),
        _relay(server_reader, client_writer, half, 0, link),
    )
    for writer in (client_writer, server_writer):
        writer.close()


async def serve(upstream_port, rtt_ms, ready=None, rate=0):
    rtt = rtt_ms / 1000.0
    link = Link(rate) if rate else None
    server = await asyncio.start_server(
        lambda r, w: _connection(r, w, upstream_port, rtt, link), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    if ready:
        ready(port)
    async with server:
        await server.serve_forever()


def main():
    upstream, rtt_ms = int(sys.argv[1]), float(sys.argv[2])
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 0
    asyncio.run(serve(upstream, rtt_ms, lambda port: print(f"listening on {port}", flush=True), rate))


if __name__ == "__main__":
    main()
