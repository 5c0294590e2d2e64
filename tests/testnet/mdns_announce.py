#!/usr/bin/env python3
# Announces SMB on this namespace's address by multicast DNS, as a Mac or a NAS does:
#   mdns_announce.py IP INSTANCE [PORT]
# Registers INSTANCE._smb._tcp.local. at IP:PORT (default 445), host INSTANCE.local. (lower
# case), on IP's interface only, and withdraws it on SIGTERM.
import signal
import socket
import sys
import threading

from zeroconf import IPVersion, ServiceInfo, Zeroconf


def main():
    ip, name = sys.argv[1], sys.argv[2]
    port = int(sys.argv[3]) if len(sys.argv) > 3 else 445
    zc = Zeroconf(interfaces=[ip], ip_version=IPVersion.V4Only)
    info = ServiceInfo("_smb._tcp.local.", f"{name}._smb._tcp.local.",
                       addresses=[socket.inet_aton(ip)], port=port,
                       server=f"{name.lower()}.local.")
    zc.register_service(info)
    print(f"announced {name} at {ip}:{port}", flush=True)
    done = threading.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        signal.signal(s, lambda *_: done.set())
    done.wait()
    zc.unregister_service(info)
    zc.close()


if __name__ == "__main__":
    main()
