#!/usr/bin/env python3
"""A TCP relay that adds round-trip time: the test network's stand-in for a slow link.

    latency_relay.py CONTROL STATS LISTEN=TARGET... [--ports 445,139]

Every LISTEN address accepts on each port and relays to the same port of its TARGET, holding
each chunk for half the round-trip time in each direction (the kernel here has no netem). A
chunk is held from its arrival, not behind the one before it, so the link's bandwidth is not
cut: only its latency grows.

CONTROL holds "RTT_MS GENERATION"; it is read again whenever it changes. A new generation starts
the connection maxima afresh. STATS is rewritten (whole, by rename) at every change:
    generation G
    rtt R
    TARGET current most accepted requests      (one line per target)
"requests" counts the chunks read from clients: each SMB request of a client that waits for
its answer arrives as one.
"""
import os
import socket
import sys
import threading
import time

lock = threading.Lock()
one_way = 0.0  # seconds
generation = ""
rtt_text = "0"
counts = {}  # target -> [current, most, accepted, requests]


def write_stats(path):
    lines = ["generation %s" % generation, "rtt %s" % rtt_text]
    for target in sorted(counts):
        lines.append("%s %d %d %d %d" % (target, *counts[target]))
    tmp = path + ".new"
    with open(tmp, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, path)


def watch_control(control, stats):
    global one_way, generation, rtt_text
    seen = None
    while True:
        try:
            st = os.stat(control)
            key = (st.st_mtime_ns, st.st_size)
            if key != seen:
                seen = key
                with open(control) as f:
                    words = f.read().split()
                rtt = float(words[0]) if words else 0.0
                with lock:
                    one_way = max(0.0, rtt) / 2000.0
                    rtt_text = words[0] if words else "0"
                    if len(words) > 1 and words[1] != generation:
                        generation = words[1]
                        for c in counts.values():
                            c[1] = c[0]
                            c[2] = c[3] = 0
                    write_stats(stats)
        except (OSError, ValueError):
            pass
        time.sleep(0.02)


def pump(src, dst, done, counter=None):
    """Reads src and hands each chunk to a writer that sends it to dst when it is due."""
    items = []
    ready = threading.Condition()

    def writer():
        try:
            while True:
                with ready:
                    while not items:
                        ready.wait()
                    due, data = items.pop(0)
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if data is None:
                    dst.shutdown(socket.SHUT_WR)
                    return
                dst.sendall(data)
        except OSError:
            pass
        finally:
            done()

    threading.Thread(target=writer, daemon=True).start()
    while True:
        try:
            data = src.recv(65536)
        except OSError:
            data = b""
        if data and counter is not None:
            with lock:
                counter[3] += 1
        with ready:
            items.append((time.monotonic() + one_way, data or None))
            ready.notify()
        if not data:
            return


def serve(client, target, port, stats):
    try:
        upstream = socket.create_connection((target, port), timeout=10)
    except OSError:
        client.close()
        return
    upstream.settimeout(None)
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    with lock:
        c = counts.setdefault(target, [0, 0, 0, 0])
        c[0] += 1
        c[1] = max(c[1], c[0])
        c[2] += 1
        write_stats(stats)
    left = [2]

    def done():
        with lock:
            left[0] -= 1
            if left[0]:
                return
            c[0] -= 1
            write_stats(stats)
        for s in (client, upstream):
            try:
                s.close()
            except OSError:
                pass

    threading.Thread(target=pump, args=(upstream, client, done), daemon=True).start()
    pump(client, upstream, done, c)


def listen(address, port, target, stats):
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((address, port))
    srv.listen(128)
    while True:
        client, _ = srv.accept()
        threading.Thread(target=serve, args=(client, target, port, stats), daemon=True).start()


def main():
    args = sys.argv[1:]
    ports = [445, 139]
    if "--ports" in args:
        i = args.index("--ports")
        ports = [int(p) for p in args[i + 1].split(",")]
        del args[i : i + 2]
    if len(args) < 3:
        sys.exit(__doc__)
    control, stats, pairs = args[0], args[1], [a.split("=", 1) for a in args[2:]]
    with lock:
        for _, target in pairs:
            counts.setdefault(target, [0, 0, 0, 0])
    threading.Thread(target=watch_control, args=(control, stats), daemon=True).start()
    for address, target in pairs:
        for port in ports:
            threading.Thread(target=listen, args=(address, port, target, stats), daemon=True).start()
    threading.Event().wait()


if __name__ == "__main__":
    main()
