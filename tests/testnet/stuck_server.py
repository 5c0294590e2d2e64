#!/usr/bin/python3
"""A host that hangs: accepts TCP connections on the given ports and never answers.

stuck_server.py ADDRESS[,ADDRESS...] PORT...
"""
import selectors
import socket
import sys


def main():
    addresses, ports = sys.argv[1].split(","), [int(p) for p in sys.argv[2:]]
    sel = selectors.DefaultSelector()
    for address in addresses:
        for port in ports:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((address, port))
            s.listen(256)
            sel.register(s, selectors.EVENT_READ)
    held = []
    while True:
        for key, _ in sel.select():
            conn, _ = key.fileobj.accept()
            # Kept open and never read: the client waits for an answer that never comes.
            held.append(conn)
            if len(held) > 4096:
                held.pop(0).close()


if __name__ == "__main__":
    main()
