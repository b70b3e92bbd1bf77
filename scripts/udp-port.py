#!/usr/bin/env python3
"""Whether a UDP port is bound in this network namespace, from the kernel's UDP tables, read by
the same helper the end-to-end tests use.

Usage: scripts/udp-port.py PORT [PID]
Exits 0 when a socket (IPv4 or IPv6) is bound to PORT (with PID: one that process holds), 1 when
none is, 2 on a usage error.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from server_harness import holds_udp_port, udp_sockets  # noqa: E402


def main(arguments):
    if len(arguments) not in (1, 2) or not all(word.isdigit() for word in arguments):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    port = int(arguments[0])
    if len(arguments) == 2:
        return 0 if holds_udp_port(int(arguments[1]), port) else 1
    return 0 if udp_sockets(port) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
