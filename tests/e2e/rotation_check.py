#!/usr/bin/env python3
"""Checks a log rotated while velantis-loadgen loaded the server: no line lost, cut or split.

    rotation_check.py LOG_PATH LOADGEN_JSON MIN_ROTATIONS

LOG_PATH is the live log (Thread_0.logs); the rotated files beside it (Thread_0.logs.1,
Thread_0.logs.2.gz, ...) and it must hold, between them, exactly one record of each datagram the
load generator reported sent (its --json output in LOADGEN_JSON), every line whole and known. The
log must have held nothing else before the load. The package leg runs it after a load during
which the service's rotation timer fired.
"""

import collections
import glob
import gzip
import json
import re
import sys

import velantis_protocol as vp

# Every line the server writes to its log for well-formed traffic, whole (fullmatch). A line cut
# short, or the two halves of a line split across files, matches none of them.
LOG_LINE = re.compile(
    rb"\n|=+ \n|=+ Thread\[0\] started\. =+ \n|=+ \[RECEIVE\] =+ \n"
    rb"|NetworkingComponent\(\): Message of size 1056 bytes received\. \n"
    rb"|(Checksum|From clientID|MessageNumber|MessageType|PlayerUUID|EntityID): \d+\n"
    rb"|Message: [^\n]*\n"
    rb"|NetworkingComponentServer\(\): Client ((dis)?connected|is not connected|admitted)\. \n")


def rotated_files(log_path):
    """The live log and its rotated files, oldest first (...logs.N.gz, ..., .logs.1, .logs)."""
    def age(path):
        suffix = path[len(log_path):].lstrip(".").split(".")[0]
        return int(suffix) if suffix else 0

    return sorted(glob.glob(glob.escape(log_path) + "*"), key=age, reverse=True)


def problems(log_path, report, min_rotations):
    """What is wrong with the rotated log, as a list of sentences (empty when nothing is)."""
    found = []
    files = rotated_files(log_path)
    if len(files) < min_rotations + 1:
        found.append(f"{len(files) - 1} rotations, fewer than {min_rotations}: {files}")
    lines = []
    for path in files:
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as f:
            data = f.read()
        if data and not data.endswith(b"\n"):
            found.append(f"{path} ends inside a line")
        for line in data.splitlines(keepends=True):
            if not LOG_LINE.fullmatch(line):
                found.append(f"a partial or unknown line in {path}: {line[:80]!r}")
            lines.append(line)

    # One record per datagram. A record's lines are written one by one, so a rotation may fall
    # between them: the files are read as one stream, oldest first.
    records = collections.Counter()
    fields = {}
    for line in lines:
        name, _, value = line.decode(errors="replace").rstrip("\n").partition(": ")
        fields[name] = value
        if name == "EntityID":
            records[(fields.get("MessageType"), fields.get("From clientID"),
                     fields.get("MessageNumber"))] += 1
    size_lines = lines.count(vp.size_log_line(vp.PACKET_SIZE))
    if size_lines != sum(records.values()):
        found.append(f"{size_lines} size lines but {sum(records.values())} whole records")
    doubled = [key for key, count in records.items() if count > 1]
    if doubled:
        found.append(f"records written twice: {doubled[:5]}")
    updates = sum(1 for key in records if key[0] == str(vp.PLAYER_POSITION_UPDATE))
    connects = sum(1 for key in records if key[0] == str(vp.CONNECT))
    # Each player's first update, which proves its address to a server that does not trust every
    # source, is not among the load's counted ones.
    if connects != report["players"] or updates - report["sent"] not in (0, report["players"]):
        found.append(f"{updates} position updates and {connects} connects logged, but the load "
                     f"generator sent {report['sent']} and connected {report['players']}")
    return found


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    with open(sys.argv[2]) as f:
        report = json.load(f)["run"]
    found = problems(sys.argv[1], report, int(sys.argv[3]))
    for problem in found[:20]:
        print(f"rotation_check: {problem}", file=sys.stderr)
    print(f"rotation_check: {len(rotated_files(sys.argv[1])) - 1} rotations, "
          f"{report['sent']} position updates: {'FAILED' if found else 'all logged once, whole'}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
