#!/usr/bin/env python3
"""bench/relay.py: the delay half of bench/run's emulated remote link.

    relay.py serve --host ADDR --rtt-ms N UPSTREAM_PORT...
    relay.py probe HOST PORT

serve: for each upstream port (a server on 127.0.0.1) listens on a free port
of ADDR and forwards every connection to it. Each chunk read from one side is
written to the other half a round trip later; chunks keep their order and are
delayed, not serialised by the delay: each direction has a queue of
(due time, bytes), so a stream arrives as a stream, half a round trip late.
A new connection's first bytes are held for the handshake a real link costs:
the client's until one round trip after the accept (its connect would only
return then), the server's until one and a half (it would only accept then).
Also serves a probe server of its own (for `probe`) through the same relay.
With --rtt-ms 0 (bench/run on loopback, only to count the bytes) it copies
each connection with two threads of blocking reads and writes instead, which
costs about half the CPU of the event loop's queues; it has no probe server.

The bandwidth is not the relay's business: bench/run puts tbf on the veth
pair between the client's namespace and ADDR. The relay counts the bytes
each way; stdin carries its control lines:
    reset   -> "ok", counts set to zero
    counts  -> one JSON line {"up", "down", "connections"}, once the
               connections opened since the reset have closed (at most 5 s)
The first line on stdout is JSON: {"ports": {UPSTREAM: LISTEN}, "probe": P}.
End of stdin ends the relay, so a bench/run that dies takes it along.

probe: through HOST:PORT (the relayed probe port), measures the round trip
(median of 20 ping-pongs after the first) and the rate each way (5 MB down,
from its first byte to its last; 5 MB up, less one round trip); prints JSON.
"""

import argparse
import asyncio
import json
import os
import socket
import statistics
import sys
import threading
import time

CHUNK = 65536
# Bytes a direction may hold in its delay queue before it stops reading, so
# that a fast server is held back by the link instead of filling memory.
QUEUE_CAP = 8 << 20


class Counts:
    def __init__(self):
        self.up = self.down = self.connections = self.open = 0
        self.idle = asyncio.Event()
        self.idle.set()

    def opened(self):
        self.connections += 1
        self.open += 1
        self.idle.clear()

    def closed(self):
        self.open -= 1
        if self.open == 0:
            self.idle.set()


class Direction:
    """One direction of one connection: read, stamp with a due time, queue;
    a second task writes each chunk when it is due."""

    def __init__(self, reader, source, writer, delay, gate, count):
        self.reader, self.source, self.writer = reader, source, writer
        self.delay, self.gate, self.count = delay, gate, count
        self.queue = asyncio.Queue()
        self.queued = 0
        self.room = asyncio.Event()
        self.room.set()

    async def read(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                await self.room.wait()
                data = await self.reader.read(CHUNK)
                if not data:
                    break
                self.count(len(data))
                self.queued += len(data)
                if self.queued > QUEUE_CAP:
                    self.room.clear()
                self.queue.put_nowait((max(loop.time(), self.gate) + self.delay, data))
        except OSError:
            pass
        self.queue.put_nowait((max(loop.time(), self.gate) + self.delay, None))

    async def write(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                due, data = await self.queue.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    await self.writer.drain()
                    return
                self.writer.write(data)
                await self.writer.drain()
                self.queued -= len(data)
                if self.queued <= QUEUE_CAP:
                    self.room.set()
        except OSError:
            # The destination is gone: drop the source too, so that its
            # reader ends (and a reader waiting for room wakes to see it).
            self.source.transport.abort()
            self.room.set()


def nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def relay_one(client_r, client_w, upstream_port, rtt, counts):
    loop = asyncio.get_running_loop()
    accepted = loop.time()
    counts.opened()
    try:
        try:
            server_r, server_w = await asyncio.open_connection("127.0.0.1", upstream_port)
        except OSError:
            client_w.close()
            return
        nodelay(client_w)
        nodelay(server_w)
        up = Direction(client_r, client_w, server_w, rtt / 2, accepted + rtt,
                       lambda n: setattr(counts, "up", counts.up + n))
        down = Direction(server_r, server_w, client_w, rtt / 2, accepted + 1.5 * rtt,
                         lambda n: setattr(counts, "down", counts.down + n))
        await asyncio.gather(up.read(), up.write(), down.read(), down.write())
        for w in (client_w, server_w):
            w.close()
    finally:
        counts.closed()


async def probe_server(reader, writer):
    """The other end of `probe`: "P" -> "P"; "G n" -> n bytes; "U n" + n bytes -> "K"."""
    nodelay(writer)
    block = b"x" * CHUNK
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            word, _, arg = line.strip().partition(b" ")
            if word == b"P":
                writer.write(b"P\n")
            elif word == b"G":
                left = int(arg)
                while left > 0:
                    writer.write(block[:min(left, CHUNK)])
                    left -= CHUNK
                    await writer.drain()
            elif word == b"U":
                await reader.readexactly(int(arg))
                writer.write(b"K\n")
            await writer.drain()
    except (OSError, asyncio.IncompleteReadError):
        pass
    writer.close()


async def control(counts):
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = (await reader.readline()).strip()
        if not line:
            if reader.at_eof():
                return
            continue
        if line == b"reset":
            counts.up = counts.down = counts.connections = 0
            reply = "ok"
        elif line == b"counts":
            try:
                await asyncio.wait_for(counts.idle.wait(), 5)
            except asyncio.TimeoutError:
                pass
            reply = json.dumps({"up": counts.up, "down": counts.down, "connections": counts.connections})
        else:
            reply = "error: unknown command"
        print(reply, flush=True)


async def serve(args):
    counts = Counts()
    rtt = args.rtt_ms / 1000.0
    probe = await asyncio.start_server(probe_server, "127.0.0.1", 0)
    probe_port = probe.sockets[0].getsockname()[1]
    ports = {}
    servers = [probe]
    for upstream in args.upstream + [probe_port]:
        handler = lambda r, w, up=upstream: relay_one(r, w, up, rtt, counts)
        server = await asyncio.start_server(handler, args.host, 0)
        servers.append(server)
        ports[upstream] = server.sockets[0].getsockname()[1]
    print(json.dumps({"ports": {str(k): v for k, v in ports.items() if k != probe_port},
                      "probe": ports[probe_port]}), flush=True)
    await control(counts)
    for server in servers:
        server.close()
    # Let connections still closing finish, then leave without cancelling
    # what is left (a client gone for good must not hold the bench).
    try:
        await asyncio.wait_for(counts.idle.wait(), 2)
    except asyncio.TimeoutError:
        pass
    sys.stdout.flush()
    os._exit(0)


class ThreadCounts:
    """Counts for the threaded relay: the pumps add under a lock; idle is
    signalled when the last open connection has closed both ways."""

    def __init__(self):
        self.up = self.down = self.connections = self.open = 0
        self.lock = threading.Condition()

    def add(self, way, n):
        with self.lock:
            setattr(self, way, getattr(self, way) + n)

    def opened(self):
        with self.lock:
            self.connections += 1
            self.open += 1

    def closed(self):
        with self.lock:
            self.open -= 1
            self.lock.notify_all()

    def wait_idle(self, timeout):
        with self.lock:
            self.lock.wait_for(lambda: self.open == 0, timeout)


def pump(source, dest, way, counts):
    """Copies source to dest until the end or an error, counting the bytes;
    then ends dest's writing half (or both sockets after an error)."""
    buf = memoryview(bytearray(256 << 10))
    try:
        while True:
            n = source.recv_into(buf)
            if n == 0:
                break
            counts.add(way, n)
            dest.sendall(buf[:n])
        dest.shutdown(socket.SHUT_WR)
    except OSError:
        for sock in (source, dest):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def relay_direct(client, upstream_port, counts):
    """Forwards one connection with no delay, a thread each way."""
    try:
        try:
            server = socket.create_connection(("127.0.0.1", upstream_port))
        except OSError:
            client.close()
            return
        for sock in (client, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        up = threading.Thread(target=pump, args=(client, server, "up", counts), daemon=True)
        up.start()
        pump(server, client, "down", counts)
        up.join()
        client.close()
        server.close()
    finally:
        counts.closed()


def accept_direct(listener, upstream_port, counts):
    while True:
        client, _ = listener.accept()
        counts.opened()
        threading.Thread(target=relay_direct, args=(client, upstream_port, counts), daemon=True).start()


def serve_direct(args):
    """The relay with no delay: threads, blocking sockets, the same control lines."""
    counts = ThreadCounts()
    ports = {}
    for upstream in args.upstream:
        listener = socket.create_server((args.host, 0), backlog=64)
        ports[upstream] = listener.getsockname()[1]
        threading.Thread(target=accept_direct, args=(listener, upstream, counts), daemon=True).start()
    print(json.dumps({"ports": {str(k): v for k, v in ports.items()}, "probe": None}), flush=True)
    for line in sys.stdin:
        line = line.strip()
        if line == "reset":
            with counts.lock:
                counts.up = counts.down = counts.connections = 0
            reply = "ok"
        elif line == "counts":
            counts.wait_idle(5)
            with counts.lock:
                reply = json.dumps({"up": counts.up, "down": counts.down, "connections": counts.connections})
        elif not line:
            continue
        else:
            reply = "error: unknown command"
        print(reply, flush=True)
    counts.wait_idle(2)
    sys.stdout.flush()
    os._exit(0)


def probe(host, port):
    s = socket.create_connection((host, port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = bytearray(CHUNK)

    def read_line():
        line = b""
        while not line.endswith(b"\n"):
            got = s.recv(1)
            if not got:
                raise SystemExit("probe: connection closed")
            line += got
        return line

    t0 = time.monotonic()
    s.sendall(b"P\n")
    read_line()
    first = time.monotonic() - t0
    rtts = []
    for _ in range(20):
        t = time.monotonic()
        s.sendall(b"P\n")
        read_line()
        rtts.append(time.monotonic() - t)
    rtt = statistics.median(rtts)

    down = 5 << 20
    s.sendall(b"G %d\n" % down)
    got = s.recv_into(buf)
    t_first, rest = time.monotonic(), down - got
    while rest > 0:
        n = s.recv_into(buf, min(rest, CHUNK))
        if n == 0:
            raise SystemExit("probe: connection closed")
        rest -= n
    down_s = time.monotonic() - t_first

    up = 5 << 20
    t = time.monotonic()
    s.sendall(b"U %d\n" % up + b"y" * up)
    read_line()
    up_s = time.monotonic() - t - rtt
    s.close()
    print(json.dumps({"first_exchange_ms": first * 1000, "rtt_ms": rtt * 1000,
                      "rtt_min_ms": min(rtts) * 1000, "rtt_max_ms": max(rtts) * 1000,
                      "down_mbit": (down - got) * 8 / down_s / 1e6, "up_mbit": up * 8 / up_s / 1e6}))


def main():
    ap = argparse.ArgumentParser(description="bench/run's delay relay and its probe")
    sub = ap.add_subparsers(dest="mode", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--host", required=True)
    s.add_argument("--rtt-ms", type=float, required=True)
    s.add_argument("upstream", type=int, nargs="*")
    p = sub.add_parser("probe")
    p.add_argument("host")
    p.add_argument("port", type=int)
    args = ap.parse_args()
    if args.mode == "serve" and args.rtt_ms == 0:
        serve_direct(args)
    elif args.mode == "serve":
        asyncio.run(serve(args))
    else:
        probe(args.host, args.port)


if __name__ == "__main__":
    main()
