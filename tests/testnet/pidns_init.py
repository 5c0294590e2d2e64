#!/usr/bin/python3
"""pidns_init.py PIDFILE: creates the test network's own PID namespace and prints nothing.

Its first process (written to PIDFILE as seen from outside) only reaps: every daemon of the test
network is started inside this namespace and is adopted by it, so an ended daemon never lingers
as a zombie, and killing this one process ends every process left in the namespace.
"""
import ctypes
import os
import signal
import sys
import time

CLONE_NEWPID = 0x20000000


def main():
    pidfile = sys.argv[1]
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWPID) != 0:
        sys.exit("pidns_init.py: unshare: " + os.strerror(ctypes.get_errno()))
    pid = os.fork()
    if pid:
        with open(pidfile + ".new", "w") as f:
            f.write("%d\n" % pid)
        os.rename(pidfile + ".new", pidfile)
        os._exit(0)
    os.setsid()
    fd = os.open(os.devnull, os.O_RDWR)
    for i in (0, 1, 2):
        os.dup2(fd, i)
    os.closerange(3, 1024)
    os.chdir("/")
    signal.signal(signal.SIGTERM, lambda *a: os._exit(0))
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            time.sleep(0.2)


if __name__ == "__main__":
    main()
