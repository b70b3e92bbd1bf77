#!/usr/bin/env python3
"""The log's growth and the rotated log's size, stated in several documents, agree.

The one measurement is the README's: bytes of log per datagram received, and the players the
server carries at 30 updates a second (bench/README.md). Every other figure is derived from them
here, and each document must state it as derived: the format leg runs this.
"""

import math
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE_HZ = 30
ROTATE_BEYOND_MB = 100  # packaging/linux/logrotate.conf
ROTATE_EVERY_MINUTES = 5  # packaging/linux/velantis-server-logrotate.timer


def read(path):
    with open(os.path.join(ROOT, path)) as text:
        return " ".join(text.read().split())


def main():
    readme = read("README.md")
    per_datagram = int(re.search(r"grows by about (\d+) bytes for every datagram", readme)[1])
    players = int(re.search(r"at the largest load it carries, about (\d+) players", readme)[1])
    per_minute = per_datagram * players * RATE_HZ * 60 / 1e6
    live = math.ceil((ROTATE_BEYOND_MB + ROTATE_EVERY_MINUTES * per_minute) / 10) * 10
    wanted = {
        "README.md": [f"some {per_minute:.0f} MB a minute", f"under about {live} MB"],
        "packaging/README.md": [f"some {per_minute:.0f} MB of log a minute",
                                f"under about {live} MB"],
        "packaging/linux/velantis-server-logrotate.timer": [
            f"about {per_minute:.0f} MB a minute", f"under about {live} MB"],
        "docs/deploy.md": [f"about {per_datagram} bytes per datagram received: "
                           f"{per_datagram * 32 * RATE_HZ * 60 / 1e6:.1f} MB a minute at 32 "
                           f"players, {per_datagram * 64 * RATE_HZ * 60 / 1e6:.1f} MB a minute "
                           f"at 64"],
    }
    # The bounded log folder: the options the image and manifests pass, and (K+1) x N.
    log_max_mb, log_keep = 100, 4
    wanted["docs/deploy.md"] += [
        f"`--log-max-bytes {log_max_mb * 1000000} --log-keep {log_keep}`",
        f"rotates it at {log_max_mb} MB and keeps {log_keep} older files, so its folder holds at "
        f"most about {(log_keep + 1) * log_max_mb} MB"]
    wrong = [f"{path}: does not say \"{figure}\""
             for path, figures in wanted.items() for figure in figures
             if figure not in read(path)]
    for line in wrong:
        print(f"check-doc-figures: {line}")
    if not wrong:
        print(f"check-doc-figures: {per_datagram} bytes a datagram, {players} players: "
              f"{per_minute:.0f} MB a minute, live log under {live} MB, everywhere")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
