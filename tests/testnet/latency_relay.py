#!/usr/bin/env python3
"""A TCP relay that adds round-trip time: the test network's stand-in for a slow link.

    latency_relay.py CONTROL STATS LISTEN=TARGET... [--ports 445,139]

Every LISTEN address accepts on each port and relays to the same port of its TARGET, holding
each chunk for half the round-trip time in each direction (the kernel here has no netem). A
chunk is held from its arrival, not behind the one before it, so the link's bandwidth is not
cut: only its latency grows. One thread and one epoll loop: no thread hand-overs that would
add delays of their own.

CONTROL holds "RTT_MS GENERATION"; it is read again whenever it changes. A new generation starts
the counts afresh. STATS is rewritten (whole, by rename) at every connection's start and end:
    generation G
    rtt R
    held CHUNKS MS          chunks relayed and the time they were held in all (the real delay)
    TARGET current most accepted requests      (one line per target)
"requests" counts the chunks read from clients: each SMB request of a client that waits for
its answer arrives as one.
"""
import collections
import errno
import heapq
import os
import select
import socket
import sys
import time

IN, OUT = select.EPOLLIN, select.EPOLLOUT


class Relay:
    def __init__(self, control, stats):
        self.control, self.stats = control, stats
        self.ep = select.epoll()
        self.listeners = {}  # fd -> (socket, target, port)
        self.sides = {}  # fd -> Side
        self.timers = []  # (due, seq, side)
        self.seq = 0
        self.one_way = 0.0
        self.rtt_text = "0"
        self.generation = ""
        self.seen = None
        self.counts = {}  # target -> [current, most, accepted, requests]
        self.held = [0, 0.0]  # chunks, seconds

    # ---- control and counts
    def watch(self):
        try:
            st = os.stat(self.control)
        except OSError:
            return
        key = (st.st_mtime_ns, st.st_size)
        if key == self.seen:
            return
        self.seen = key
        try:
            with open(self.control) as f:
                words = f.read().split()
            rtt = float(words[0]) if words else 0.0
        except (OSError, ValueError):
            return
        self.one_way = max(0.0, rtt) / 2000.0
        self.rtt_text = words[0] if words else "0"
        if len(words) > 1 and words[1] != self.generation:
            self.generation = words[1]
            for c in self.counts.values():
                c[1], c[2], c[3] = c[0], 0, 0
            self.held = [0, 0.0]
        self.write_stats()

    def write_stats(self):
        lines = ["generation %s" % self.generation, "rtt %s" % self.rtt_text,
                 "held %d %.3f" % (self.held[0], self.held[1] * 1000)]
        for target in sorted(self.counts):
            lines.append("%s %d %d %d %d" % (target, *self.counts[target]))
        tmp = self.stats + ".new"
        with open(tmp, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(tmp, self.stats)

    # ---- connections
    def listen(self, address, port, target):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, port))
        s.listen(128)
        s.setblocking(False)
        self.listeners[s.fileno()] = (s, target, port)
        self.ep.register(s.fileno(), IN)
        self.counts.setdefault(target, [0, 0, 0, 0])

    def accept(self, fd):
        s, target, port = self.listeners[fd]
        try:
            client, _ = s.accept()
        except OSError:
            return
        try:
            upstream = socket.create_connection((target, port), timeout=5)
        except OSError:
            client.close()
            return
        c = self.counts[target]
        c[0] += 1
        c[1] = max(c[1], c[0])
        c[2] += 1
        a, b = Side(client, c), Side(upstream, None)
        a.peer, b.peer = b, a
        for side in (a, b):
            side.sock.setblocking(False)
            side.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.sides[side.fd] = side
            self.ep.register(side.fd, IN)
        self.write_stats()

    def readable(self, side):
        try:
            data = side.sock.recv(262144)
        except BlockingIOError:
            return
        except OSError:
            return self.close(side)
        now = time.monotonic()
        if data and side.counter is not None:
            side.counter[3] += 1
        peer = side.peer
        peer.pending.append((now + self.one_way, now, data or None))
        self.seq += 1
        heapq.heappush(self.timers, (now + self.one_way, self.seq, peer))
        if not data:
            side.reading = False
            self.update(side)

    def due(self, side, now):
        while side.pending and side.pending[0][0] <= now:
            _, arrived, data = side.pending.popleft()
            self.held[0] += 1
            self.held[1] += now - arrived
            if data is None:
                side.shut = True
            else:
                side.out += data
        self.flush(side)

    def flush(self, side):
        if side.closed:
            return
        try:
            while side.out:
                n = side.sock.send(side.out)
                del side.out[:n]
        except BlockingIOError:
            pass
        except OSError:
            return self.close(side)
        if not side.out and side.shut and not side.wr_done:
            side.wr_done = True
            try:
                side.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            if side.peer.wr_done:
                return self.close(side)
        self.update(side)

    def update(self, side):
        if side.closed:
            return
        mask = (IN if side.reading else 0) | (OUT if side.out else 0)
        if mask != side.mask:
            side.mask = mask
            self.ep.modify(side.fd, mask)

    def close(self, side):
        if side.closed and side.peer.closed:
            return
        for s in (side, side.peer):
            if s.closed:
                continue
            s.closed = True
            self.sides.pop(s.fd, None)
            try:
                self.ep.unregister(s.fd)
            except OSError:
                pass
            s.sock.close()
        counter = side.counter or side.peer.counter
        counter[0] -= 1
        self.write_stats()

    # ---- the loop
    def run(self):
        last_watch = 0.0
        while True:
            now = time.monotonic()
            if now - last_watch >= 0.02:
                self.watch()
                last_watch = now
            wait = 0.02
            if self.timers:
                wait = min(wait, max(0.0, self.timers[0][0] - now))
            # epoll waits whole milliseconds: the last one is slept exactly.
            if 0 < wait < 0.0015:
                time.sleep(wait)
                wait = 0
            elif wait > 0:
                wait -= 0.001
            for fd, ev in self.ep.poll(wait):
                if fd in self.listeners:
                    self.accept(fd)
                    continue
                side = self.sides.get(fd)
                if side is None:
                    continue
                if ev & select.EPOLLERR:
                    self.close(side)
                    continue
                if ev & OUT:
                    self.flush(side)
                if ev & (IN | select.EPOLLHUP | select.EPOLLERR) and not side.closed and side.reading:
                    self.readable(side)
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                _, _, side = heapq.heappop(self.timers)
                if not side.closed:
                    self.due(side, now)


class Side:
    """One socket of a relayed connection; pending holds what waits to be written to it."""

    def __init__(self, sock, counter):
        self.sock, self.fd, self.counter = sock, sock.fileno(), counter
        self.peer = None
        self.pending = collections.deque()  # (due, arrived, data or None for the end)
        self.out = bytearray()
        self.reading, self.shut, self.wr_done, self.closed = True, False, False, False
        self.mask = IN


def main():
    args = sys.argv[1:]
    ports = [445, 139]
    if "--ports" in args:
        i = args.index("--ports")
        ports = [int(p) for p in args[i + 1].split(",")]
        del args[i : i + 2]
    if len(args) < 3:
        sys.exit(__doc__)
    relay = Relay(args[0], args[1])
    for pair in args[2:]:
        address, target = pair.split("=", 1)
        for port in ports:
            relay.listen(address, port, target)
    relay.watch()
    relay.write_stats()
    relay.run()


if __name__ == "__main__":
    main()
