#!/usr/bin/env python3
"""hold-udp.py PORT EXTRA: holds UDP PORT (0.0.0.0) and EXTRA more UDP sockets on 127.0.0.1, then
prints its process id and waits to be killed. The package leg runs it to take the server's port
while the UDP table is long."""

import os
import resource
import socket
import sys
import time


def main():
    port, extra = int(sys.argv[1]), int(sys.argv[2])
    # Root may raise its hard limit too, where the machine's default is lower than the sockets.
    want = extra + 64
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(want, hard)))
    except (ValueError, OSError):
        if hard < want:
            sys.exit(f"hold-udp.py: {extra} sockets need a limit of {want} open files, not {hard}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    held = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    held.bind(("0.0.0.0", port))
    others = []
    for _ in range(extra):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        others.append(sock)
    print(os.getpid(), flush=True)
    while True:
        time.sleep(60)


if __name__ == "__main__":
    main()
