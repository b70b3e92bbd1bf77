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


MANIFESTS = ["deploy/kubernetes/deployment.yaml", "deploy/agones/gameserver.yaml",
             "deploy/agones/fleet.yaml"]
UNITS = ["packaging/linux/velantis-server.service.in",
         "packaging/linux/velantis-server@.service.in"]
SIZES = {"Ki": 2**10, "Mi": 2**20, "Gi": 2**30}


def deployment_figures(wanted, per_datagram, log_max_mb, log_keep):
    """What the manifests, units and guides state for a server of the fleet, from the one measured
    table of docs/deploy.md ("Players | CPU | Peak memory | Log | Server out"): the requests and
    limits, the autoscaler's note, the log's bound below the volume, the stop's grace beyond the
    drain. Adds the sentences each document must hold to `wanted`; returns a summary and what
    does not hold beyond them."""
    deploy = read("docs/deploy.md")
    rows = {int(m[1]): (float(m[2]), float(m[3]), float(m[4]), int(m[5].replace(",", "")))
            for m in re.finditer(r"\| (\d+) \| ([\d.]+) core \| ([\d.]+) MiB \| ([\d.]+) MB/min "
                                 r"\| ([\d,]+) Mbit/s \|", deploy)}
    if 64 not in rows:
        return "", ["docs/deploy.md: no measured row for 64 players in the sizing table"]
    wrong = []
    for players, (_, _, log_rate, out) in rows.items():
        # Derived, not measured: the log's bytes per datagram, and N x N x 30 packets of 1084 bytes.
        if abs(log_rate - per_datagram * players * RATE_HZ * 60 / 1e6) > 0.1:
            wrong.append(f"docs/deploy.md: the log rate at {players} players is not derived")
        if out != round(players * players * RATE_HZ * 1084 * 8 / 1e6):
            wrong.append(f"docs/deploy.md: the server's output at {players} players is not derived")
    cpu, memory = rows[64][0], rows[64][1]
    # The request: the measured CPU at the cap, rounded up to 50m; memory: twice the peak, rounded
    # up to 8 MiB, and a limit of four times that. No CPU limit: throttling is lag.
    cpu_m = math.ceil(cpu * 1000 / 50) * 50
    memory_mi = math.ceil(2 * memory / 8) * 8
    resources = (f"requests: cpu: {cpu_m}m memory: {memory_mi}Mi limits: "
                 f"memory: {4 * memory_mi}Mi")
    drain = 30
    for path in MANIFESTS:
        wanted.setdefault(path, []).extend([
            resources, f'"--drain-timeout={drain}"', f"terminationGracePeriodSeconds: {drain + 5}",
            f'"--log-max-bytes={log_max_mb * 1000000}"', f'"--log-keep={log_keep}"'])
        limit = re.search(r"sizeLimit: (\d+)(Ki|Mi|Gi)", read(path))
        if not limit or int(limit[1]) * SIZES[limit[2]] <= (log_keep + 1) * log_max_mb * 1e6:
            wrong.append(f"{path}: the log volume's sizeLimit is not above the log's bound")
    wanted.setdefault("deploy/Containerfile", []).extend([
        f'"--drain-timeout={drain}"', f'"--log-max-bytes={log_max_mb * 1000000}"',
        f'"--log-keep={log_keep}"'])
    for path in UNITS:
        wanted.setdefault(path, []).append(f"TimeoutStopSec={drain + 5}")
    wanted.setdefault("deploy/agones/fleetautoscaler.yaml", []).append(
        f"At 64 players a server needs about {cpu:.2f} core")
    wanted["docs/deploy.md"].append(
        f"requests {cpu_m}m of CPU and {memory_mi} MiB of memory, with a limit of "
        f"{4 * memory_mi} MiB")
    return f"64 players: {cpu_m}m, {memory_mi}Mi ({4 * memory_mi}Mi at most)", wrong


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
    sizing, bounds = deployment_figures(wanted, per_datagram, log_max_mb, log_keep)
    wrong = [f"{path}: does not say \"{figure}\""
             for path, figures in wanted.items() for figure in figures
             if figure not in read(path)] + bounds
    for line in wrong:
        print(f"check-doc-figures: {line}")
    if not wrong:
        print(f"check-doc-figures: {per_datagram} bytes a datagram, {players} players: "
              f"{per_minute:.0f} MB a minute, live log under {live} MB, everywhere; {sizing}")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
