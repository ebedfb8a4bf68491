#!/usr/bin/env python3
"""A loopback TCP proxy that puts a link with latency between a client and a
server: every byte is delivered one delay after it was sent, in each
direction, and a new connection carries nothing to the server before the
round trip of its TCP handshake has passed.

On loopback a client's connect() returns at once; on a real link it returns
one round trip later and its first bytes reach the server half a round trip
after that. Holding the client's bytes until three delays after the accept
gives the server the same view, so that every request, handshake and reply
costs what it costs on the modelled link.

Each direction holds at most WINDOW bytes in flight and stops reading its
source beyond that, as a real link's window would. The proxy can also cut one
connection once a given number of response bytes has passed through it (a
reset, as a dropped link looks to the client), and records when it did.

Used in-process by run_bench.py (DelayProxy(...).start() ... stop()), or on
its own, bounded in time:

    delay_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS SECONDS
"""
import asyncio
import collections
import socket
import struct
import sys
import threading
import time

WINDOW = 1 << 20  # bytes in flight per direction


class _Direction:
    """Bytes from one transport to another, each delivered `delay` seconds
    after it arrived, and never before `not_before`."""

    def __init__(self, proxy, conn, delay, not_before=0.0, count=False):
        self.proxy, self.conn, self.delay = proxy, conn, delay
        self.not_before = not_before
        self.count = count  # the response direction: counted for the drop
        self.src = self.dst = None
        self.in_flight = 0
        self.src_paused = False
        self.dst_blocked = False
        self.eof_pending = False
        # What is on the way, in the order it came: (when, data or None for
        # the end, drop). One timer at a time delivers it in that order;
        # timers of their own could fire out of order for bytes that came
        # within the same moment, and a reordered TLS stream fails its MAC.
        self.queue = collections.deque()

    def feed(self, data):
        when = max(time.monotonic() + self.delay, self.not_before)
        drop = False
        if self.count and self.proxy.drop_armed_at is not None:
            left = self.proxy.drop_armed_at - self.conn.response_bytes
            if len(data) >= left:
                data, drop = data[:left], True
                self.proxy.drop_armed_at = None  # one connection only
        self.conn.response_bytes += len(data)
        self.in_flight += len(data)
        self._enqueue(when, data, drop)
        self._throttle()

    def eof(self):
        self._enqueue(max(time.monotonic() + self.delay, self.not_before), None, False)

    def _enqueue(self, when, data, drop):
        self.queue.append((when, data, drop))
        if len(self.queue) == 1:
            self._schedule(when)

    def _schedule(self, monotonic_when):
        # asyncio's clock is time.monotonic() on Linux; stated for clarity.
        loop = self.proxy.loop
        loop.call_at(loop.time() + (monotonic_when - time.monotonic()), self._pump)

    def _pump(self):
        while self.queue and self.queue[0][0] <= time.monotonic() + 0.001:
            if self.dst is None and not self.conn.closed:
                # The server's side is still connecting (on loopback it never
                # takes this long; kept for a loaded machine).
                self.proxy.loop.call_later(0.001, self._pump)
                return
            _, data, drop = self.queue.popleft()
            if data is None:
                self._deliver_eof()
                continue
            self.in_flight -= len(data)
            if self.dst is not None and not self.dst.is_closing():
                if data:
                    self.dst.write(data)
                if drop:
                    self.proxy.drops.append(time.monotonic())
                    self.queue.clear()
                    self.conn.reset()
                    return
        if self.queue:
            self._schedule(self.queue[0][0])
        self._throttle()

    def _deliver_eof(self):
        if self.dst is not None and not self.dst.is_closing():
            if self.dst.can_write_eof():
                self.dst.write_eof()
            else:
                self.dst.close()
        self.conn.half_closed()

    def _throttle(self):
        held = self.in_flight + (self.dst.get_write_buffer_size() if self.dst else 0)
        if self.src is None or self.src.is_closing():
            return
        if held > WINDOW and not self.src_paused:
            self.src.pause_reading()
            self.src_paused = True
        elif held <= WINDOW // 2 and self.src_paused and not self.dst_blocked:
            self.src.resume_reading()
            self.src_paused = False


class _Side(asyncio.Protocol):
    def __init__(self, outgoing, incoming):
        self.outgoing, self.incoming = outgoing, incoming  # reads feed outgoing

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.outgoing.feed(data)

    def eof_received(self):
        self.outgoing.eof()
        return True  # keep the other half open until both are done

    def pause_writing(self):
        self.incoming.dst_blocked = True

    def resume_writing(self):
        self.incoming.dst_blocked = False
        self.incoming._throttle()

    def connection_lost(self, exc):
        self.outgoing.conn.lost()


class _Connection:
    def __init__(self, proxy, accepted_at):
        self.proxy = proxy
        self.response_bytes = 0
        self.halves = 0
        self.closed = False
        d = proxy.delay
        # Request bytes reach the server no earlier than the handshake's round
        # trip plus their own one-way delay after the client connected.
        self.up = _Direction(proxy, self, d, not_before=accepted_at + 3 * d)
        self.down = _Direction(proxy, self, d, count=True)
        self.client = self.server = None

    def transports(self):
        return [t for t in (self.client, self.server) if t is not None]

    def half_closed(self):
        self.halves += 1
        if self.halves >= 2:
            self.close()

    def lost(self):
        # One side went away: the other goes once what is in flight is out.
        self.proxy.loop.call_later(self.proxy.delay + 0.001, self.close)

    def close(self):
        if self.closed:
            return
        self.closed = True
        for t in self.transports():
            t.close()
        self.proxy.connections.discard(self)

    def reset(self):
        """Cuts the connection the way a dropped link shows: the client gets a
        reset, the server a closed socket."""
        self.closed = True
        if self.client is not None:
            sock = self.client.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        for t in self.transports():
            t.abort()
        self.proxy.connections.discard(self)


class DelayProxy:
    """Listens on 127.0.0.1:`port` (0: any free port) and forwards to
    127.0.0.1:`target`, delaying each direction by `delay_ms`. Runs on a
    thread of its own until stop() or `seconds` have passed."""

    def __init__(self, target, delay_ms, port=0, seconds=3600):
        self.target, self.delay = target, delay_ms / 1000.0
        self.port, self.seconds = port, seconds
        self.loop = None
        self.connections = set()
        self.accepted = 0
        self.drops = []  # monotonic times of the resets
        self.drop_armed_at = None
        self._ready = threading.Event()
        self._thread = None
        self._stop = None

    def start(self):
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("the delay proxy did not start")
        return self

    def url(self, scheme, path):
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def arm_drop(self, response_bytes):
        """Resets the next connection whose response bytes reach the count."""
        self.loop.call_soon_threadsafe(setattr, self, "drop_armed_at", response_bytes)

    def stop(self):
        if self.loop is not None and self._stop is not None:
            self.loop.call_soon_threadsafe(self._stop.set)
        if self._thread is not None:
            self._thread.join(10)

    def _run(self):
        asyncio.run(self._serve())

    async def _serve(self):
        self.loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        server = await self.loop.create_server(self._accept, "127.0.0.1", self.port)
        self.port = server.sockets[0].getsockname()[1]
        self._ready.set()
        try:
            await asyncio.wait_for(self._stop.wait(), self.seconds)
        except asyncio.TimeoutError:
            pass
        server.close()
        for conn in list(self.connections):
            conn.close()

    def _accept(self):
        self.accepted += 1
        conn = _Connection(self, time.monotonic())
        self.connections.add(conn)
        side = _Side(conn.up, conn.down)
        self.loop.create_task(self._connect_server(conn))
        return _ClientSide(conn, side)

    async def _connect_server(self, conn):
        try:
            transport, _ = await self.loop.create_connection(
                lambda: _Side(conn.down, conn.up), "127.0.0.1", self.target)
        except OSError:
            conn.close()
            return
        if conn.closed:
            transport.close()
            return
        conn.server = transport
        conn.up.dst = transport
        conn.down.src = transport
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


class _ClientSide(_Side):
    def __init__(self, conn, side):
        super().__init__(side.outgoing, side.incoming)
        self.conn = conn

    def connection_made(self, transport):
        super().connection_made(transport)
        self.conn.client = transport
        self.conn.up.src = transport
        self.conn.down.dst = transport
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: delay_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS SECONDS")
    listen, target, delay, seconds = sys.argv[1:]
    proxy = DelayProxy(int(target), float(delay), int(listen), float(seconds)).start()
    print(f"delay_proxy: 127.0.0.1:{proxy.port} -> 127.0.0.1:{target}, {delay} ms each way",
          file=sys.stderr, flush=True)
    proxy._thread.join()


if __name__ == "__main__":
    main()
