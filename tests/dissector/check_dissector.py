#!/usr/bin/env python3
"""Reads captures of the game's traffic with tshark and the Wireshark plugin, and checks what it
shows against the packets' bytes as the end-to-end suite's codec decodes them.

    check_dissector.py edge  --lua velantis.lua --capture tests/dissector/edge-cases.pcap.gz
    check_dissector.py live  --lua velantis.lua --server velantis-server --client velantis-client
    check_dissector.py speed --lua velantis.lua [--packets 10000]

`edge` reads the checked-in capture of edge cases (after checking that make_capture.py still
makes the same capture); `live` captures the loopback interface with dumpcap while the real server
serves a scripted session of velantis-client runs and raw datagrams, then reads that capture;
`speed` times the dissection of a capture of ordinary packets and prints packets per second.
`live` sends UDP to 127.0.0.1:15000: run it in a network namespace of its own.

Every datagram is checked field by field: the plugin's values against the codec's decoding of
the UDP payload tshark reports, the checksum status against the codec's verification, the expert
flags (malformed, unknown type, no terminator, bad checksum) and the Info column; no Lua error
may appear in tshark's output.
"""

import argparse
import gzip
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import make_capture  # noqa: E402
import velantis_protocol as vp  # noqa: E402
from checks import Failures  # noqa: E402

TYPE_NAMES = {vp.CONNECT: "Connect", vp.WELCOME: "Welcome", vp.DISCONNECT: "Disconnect",
              vp.PLAYER_POSITION_UPDATE: "PlayerPositionUpdate"}

FIELDS = [
    "frame.number", "frame.protocols", "udp.srcport", "udp.dstport", "udp.length",
    "udp.payload", "velantis.length", "velantis.initialized", "velantis.gap1",
    "velantis.checksum", "velantis.checksum.calculated", "velantis.checksum.status",
    "velantis.client_id", "velantis.type", "velantis.gap2", "velantis.message_number",
    "velantis.position.x", "velantis.position.y", "velantis.message", "velantis.message.length",
    "velantis.message.rest", "velantis.player_uuid", "velantis.entity_id", "velantis.gap3",
    "velantis.snapshots", "velantis.excess", "velantis.snapshot.tick", "velantis.snapshot.count",
    "velantis.snapshot.part", "velantis.snapshot.parts", "velantis.snapshot.entry",
    "velantis.snapshot.entry.player_id", "velantis.snapshot.entry.entity_id",
    "velantis.snapshot.entry.x", "velantis.snapshot.entry.y", "velantis.snapshot.ack",
    "velantis.snapshot.ack_bits", "velantis.malformed", "velantis.checksum.bad",
    "velantis.type.unknown", "velantis.message.unterminated", "velantis.snapshot.malformed",
    "_ws.col.Protocol", "_ws.col.Info",
]
# Shown only for a packet, and only for a snapshot; a snapshot's entries each give a value to
# every entry field, which tshark lists comma-separated.
PACKET_BODY = ["velantis.position.x", "velantis.position.y", "velantis.message",
               "velantis.message.length", "velantis.message.rest", "velantis.player_uuid",
               "velantis.entity_id", "velantis.gap3", "velantis.snapshots"]
SNAPSHOT_BODY = [name for name in FIELDS if name.startswith("velantis.snapshot.")
                 and name != "velantis.snapshot.malformed"]
HEX_FIELDS = {"velantis.checksum", "velantis.snapshot.ack_bits"}
FLAGS = {"malformed": "velantis.malformed", "unknown_type": "velantis.type.unknown",
         "unterminated": "velantis.message.unterminated",
         "snapshot_malformed": "velantis.snapshot.malformed"}
# The shortest snapshot: the 40 bytes before the entries and the 8 of the acknowledgement.
SNAPSHOT_MIN = 48


class Tshark:
    """tshark with the plugin under test and no personal settings or personal plugins."""

    def __init__(self, lua, workdir):
        self.lua = os.path.abspath(lua)
        self.env = dict(os.environ)
        home = os.path.join(workdir, "home")
        os.makedirs(home, exist_ok=True)
        self.env.update(HOME=home, WIRESHARK_CONFIG_DIR=os.path.join(home, "config"),
                        LC_ALL="C.UTF-8")
        self.lua_errors = []
        self.load = ["-X", "lua_script:" + self.lua]
        # A copy installed by the package is loaded first, and loading this one as well would
        # register the protocol twice: use the installed copy when it is this one.
        installed = self.installed_plugin()
        if installed:
            with open(installed, "rb") as a, open(self.lua, "rb") as b:
                if a.read() != b.read():
                    raise SystemExit(f"{installed} (installed) differs from {lua}: remove it or "
                                     "install this one to check it")
            print(f"using the installed copy {installed}, the same as {lua}")
            self.load = []

    def installed_plugin(self):
        result = subprocess.run(["tshark", "-G", "plugins"], env=self.env, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=120)
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            columns = line.split("\t")
            if columns[0] == "velantis.lua" and "lua script" in line:
                return columns[-1]
        return None

    def run(self, capture, *arguments):
        command = ["tshark", "-n"] + self.load + ["-r", capture] + list(arguments)
        result = subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=600)
        output = result.stdout.decode("utf-8", "replace")
        errors = result.stderr.decode("utf-8", "replace")
        for line in (output + errors).splitlines():
            if "lua" in line.lower() and "error" in line.lower():
                self.lua_errors.append(line.strip())
        if result.returncode != 0:
            raise SystemExit(f"tshark failed ({result.returncode}): {errors}")
        return output

    def rows(self, capture, *options):
        arguments = list(options) + ["-T", "fields", "-E", "separator=/t", "-E", "occurrence=a"]
        for name in FIELDS:
            arguments += ["-e", name]
        rows = []
        for line in self.run(capture, *arguments).splitlines():
            values = line.split("\t")
            if len(values) != len(FIELDS):
                raise SystemExit(f"tshark gave {len(values)} fields, not {len(FIELDS)}: {line!r}")
            rows.append(dict(zip(FIELDS, values)))
        return rows

    def check_no_lua_errors(self, capture, failures):
        # The full tree shows an error raised anywhere in the dissector.
        self.run(capture, "-V")
        failures.check(not self.lua_errors, "Lua errors in tshark's output: " +
                       "; ".join(sorted(set(self.lua_errors))[:5]))


def float_text(value):
    """A 32-bit float as tshark prints it: six significant digits."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return "%.6g" % value


def displayed_text(text):
    """The message text as tshark prints a string field: UTF-8 with a replacement character for
    what is not, and only tab, line feed and carriage return escaped."""
    shown = text.decode("utf-8", "replace")
    return shown.replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def expected_view(src_port, dst_port, length, data):
    """What the plugin must show for a UDP datagram of `length` bytes of which `data` was
    captured: None when it must not claim the datagram, else the fields and flags. A datagram of
    type 6 shorter than a packet is a snapshot, whose checksum covers its own length."""
    def u(offset, fmt):
        size = struct.calcsize(fmt)
        if offset is None or len(data) < offset + size:
            return None
        return struct.unpack_from("<" + fmt, data, offset)[0]

    snapshot = length < vp.PACKET_SIZE and u(vp.MESSAGE_TYPE_OFFSET, "B") == vp.SNAPSHOT
    count = u(36, "H") if snapshot else None
    whole = len(data) == length
    checkable = whole and (length == vp.PACKET_SIZE or snapshot)
    good = checkable and u(vp.CHECKSUM_OFFSET, "Q") == vp.checksum_of(data)
    fits = length == vp.PACKET_SIZE or (count is not None and length == SNAPSHOT_MIN + 20 * count)
    if vp.SERVER_PORT not in (src_port, dst_port) and not (good and fits):
        return None

    def raw(offset, size):
        return data[offset:offset + size].hex() if len(data) >= offset + size else None

    view = {
        "velantis.length": length,
        "velantis.initialized": u(0, "B"),
        "velantis.gap1": raw(1, 7),
        "velantis.checksum": u(8, "Q"),
        "velantis.client_id": u(16, "Q"),
        "velantis.type": u(24, "B"),
        "velantis.gap2": raw(25, 3),
        "velantis.message_number": u(28, "I"),
        "velantis.player_uuid": u(1040, "Q"),
        "velantis.entity_id": u(1048, "I"),
        "velantis.gap3": raw(1052, 4),
        "velantis.excess": data[vp.PACKET_SIZE:].hex() or None,
    }
    for name, offset in (("velantis.position.x", 32), ("velantis.position.y", 36)):
        value = u(offset, "f")
        view[name] = None if value is None else float_text(value)
    field = data[vp.MESSAGE_OFFSET:vp.MESSAGE_OFFSET + vp.MESSAGE_CAPACITY]
    text = vp.message_text(field) if field else None
    view["velantis.message.length"] = None if text is None else len(text)
    view["velantis.message"] = None if text is None else displayed_text(text)
    rest = field[len(text) + 1:] if text is not None else b""
    view["velantis.message.rest"] = rest.hex() or None
    capability = {vp.CONNECT: "asked", vp.WELCOME: "granted"}.get(view["velantis.type"])
    if capability and view["velantis.gap3"] == vp.SNAPSHOT_CAPABILITY.hex():
        view.update({"velantis.snapshots": capability, "velantis.gap3": None})
    else:
        view["velantis.snapshots"] = None
    view.update(dict.fromkeys(SNAPSHOT_BODY))
    if snapshot:
        view.update(dict.fromkeys(PACKET_BODY))
        view.update(snapshot_fields(data, count, u))

    view["status"] = ("Good" if good else "Bad") if checkable else (
        "Unverified" if len(data) >= 16 else None)
    view["snapshot"] = snapshot
    view["malformed"] = length != vp.PACKET_SIZE and not snapshot
    view["snapshot_malformed"] = snapshot and (
        length < SNAPSHOT_MIN or (count is not None and length != SNAPSHOT_MIN + 20 * count))
    view["unknown_type"] = (view["velantis.type"] is not None and not snapshot
                            and view["velantis.type"] not in TYPE_NAMES)
    view["unterminated"] = (not snapshot and len(field) == vp.MESSAGE_CAPACITY
                            and b"\0" not in field)
    return view


def snapshot_fields(data, count, u):
    """A snapshot's fields after its header: the entries its count names as far as the datagram
    holds them, the acknowledgement where the count puts it, and any bytes after it."""
    held = 0 if count is None else min(count, max(0, (len(data) - 40) // 20))
    entries = [data[40 + 20 * k:60 + 20 * k] for k in range(held)]
    values = [vp.Snapshot.ENTRY.unpack(entry) for entry in entries]
    view = {"velantis.snapshot.tick": u(32, "I"), "velantis.snapshot.count": count,
            "velantis.snapshot.part": u(38, "B"), "velantis.snapshot.parts": u(39, "B"),
            "velantis.snapshot.entry": ",".join(entry.hex() for entry in entries) or None}
    for index, (name, shown) in enumerate((("player_id", str), ("entity_id", str),
                                           ("x", float_text), ("y", float_text))):
        view["velantis.snapshot.entry." + name] = ",".join(
            shown(value[index]) for value in values) or None
    ack_at = None if count is None else 40 + 20 * count
    if ack_at is not None and len(data) >= ack_at + 8:
        view["velantis.snapshot.ack"], view["velantis.snapshot.ack_bits"] = struct.unpack_from(
            "<II", data, ack_at)
        view["velantis.excess"] = data[ack_at + 8:].hex() or None
    return view


STATUS_VALUES = {"0": "Bad", "1": "Good", "2": "Unverified"}

ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
# Names in backticks that look like filters but are not: a preference, and file names.
NOT_FILTERS = {"velantis.heuristic"}
FILE_NAME = re.compile(r".*\.(lua|h|hpp|c|cpp|cs|dll|so|a|lib|exe|pc|md|txt|json|pcap|pcapng|gz)$")


def documented_filters():
    """(document, filter) for every display filter the documents give: each name or expression
    in backticks that starts with a field of the plugin, of udp or of frame, and the first column
    of the code block under a heading about filters."""
    names = ["README.md", "packaging/wireshark/README.md"] + sorted(
        os.path.join("docs", name) for name in os.listdir(os.path.join(ROOT, "docs"))
        if name.endswith(".md"))
    found = []
    for name in names:
        fenced = under_filters = False
        with open(os.path.join(ROOT, name), encoding="utf-8") as document:
            for line in document.read().splitlines():
                if line.startswith("#"):
                    under_filters = "filter" in line.lower()
                if line.startswith("```"):
                    fenced = not fenced
                elif fenced:
                    if under_filters and line.strip():
                        found.append((name, re.split(r"\s{2,}", line.strip())[0]))
                else:
                    for span in re.findall(r"`([^`]+)`", line):
                        # A name with a slash is a label or a path (a Kubernetes label of the
                        # velantis. domain, say), never a display filter.
                        if re.match(r"^!?\(?(velantis|udp|frame)\.[a-z_.]*[a-z]", span) and \
                                span not in NOT_FILTERS and not FILE_NAME.match(span) and \
                                "/" not in span:
                            found.append((name, span))
    return found


class Seen:
    """One datagram of a capture as the documents speak of it."""

    def __init__(self, row, view):
        self.view = view or {}
        self.decoded = view is not None
        self.from_server = int(row["udp.srcport"]) == vp.SERVER_PORT
        self.to_server = int(row["udp.dstport"]) == vp.SERVER_PORT

    def get(self, name):
        return self.view.get(name)


# What each documented filter is said to show, written from the documents' words rather than
# from the expression, so that an expression that shows something else fails.
FILTER_MEANINGS = {
    # what the server rejected: datagrams to it with a bad checksum or of a wrong length
    'velantis.checksum.status == "Bad" || velantis.malformed':
        lambda d: d.to_server and (d.get("status") == "Bad" or d.get("malformed")),
    # datagrams too short for a checksum
    "velantis.malformed && !velantis.checksum.status":
        lambda d: d.decoded and d.get("velantis.length") < 16,
    # player 2's moves and their relays
    "velantis.type == 5 && velantis.client_id == 2":
        lambda d: d.get("velantis.type") == 5 and (
            (d.to_server and d.get("velantis.client_id") == 2) or
            (d.from_server and d.get("velantis.player_uuid") == 2)),
    # announcements: the Connects the server sends
    "velantis.type == 1 && udp.srcport == 15000":
        lambda d: d.from_server and d.get("velantis.type") == 1,
    # welcomes, which only the server sends
    "velantis.type == 2": lambda d: d.from_server and d.get("velantis.type") == 2,
    # odd packets a client sent
    "velantis.type.unknown || velantis.message.unterminated":
        lambda d: d.to_server and (d.get("unknown_type") or d.get("unterminated")),
    'velantis.message contains "alice"':
        lambda d: d.decoded and "alice" in (d.get("velantis.message") or ""),
    "velantis.type.unknown": lambda d: d.decoded and d.get("unknown_type"),
    "velantis.malformed": lambda d: d.decoded and d.get("malformed"),
    "velantis.checksum.bad": lambda d: d.get("status") == "Bad",
    "velantis.message.unterminated": lambda d: d.decoded and d.get("unterminated"),
    "velantis.snapshot.malformed": lambda d: d.get("snapshot_malformed"),
    # player 4's positions in snapshots
    "velantis.snapshot.entry.player_id == 4":
        lambda d: "4" in (d.get("velantis.snapshot.entry.player_id") or "").split(","),
    "velantis.checksum.status": lambda d: d.get("status") is not None,
    "velantis.checksum.calculated": lambda d: d.get("status") in ("Good", "Bad"),
    "velantis.message_field": lambda d: d.get("velantis.message") is not None,
    "velantis.position": lambda d: d.get("velantis.position.x") is not None,
}


def meaning_of(expression):
    if expression in FILTER_MEANINGS:
        return FILTER_MEANINGS[expression]
    # A field name alone: the datagrams where the plugin shows that field.
    if re.fullmatch(r"velantis\.[a-z_.0-9]+", expression):
        field = expression
        if field == "velantis.length":
            return lambda d: d.decoded
        if field in FIELDS and field != "velantis.length":
            return lambda d: d.decoded and d.get(field) is not None
    return None


def check_documented_filters(tshark, capture, rows, views, failures, must_match):
    """Runs every filter of the documents over the capture and compares the frames it shows with
    those the documents say it shows. With `must_match`, a compound filter that shows nothing in
    the capture fails too: the session holds an example of everything they speak of."""
    seen = {row["frame.number"]: Seen(row, view) for row, view in zip(rows, views)}
    checked = set()
    for document, expression in documented_filters():
        if expression in checked:
            continue
        checked.add(expression)
        meaning = meaning_of(expression)
        if not failures.check(meaning is not None, f"{document}: filter {expression!r} has no "
                              "meaning in check_dissector.py's FILTER_MEANINGS: add what it shows"):
            continue
        shown = tshark.run(capture, "-Y", expression, "-T", "fields", "-e", "frame.number").split()
        expected = [number for number, datagram in seen.items() if meaning(datagram)]
        failures.check(shown == expected, f"{document}: filter {expression!r} shows frames "
                       f"{shown}, the document means {expected}")
        if must_match and not re.fullmatch(r"velantis\.[a-z_.0-9]+", expression):
            failures.check(expected, f"{document}: filter {expression!r}: nothing in the "
                           "session to show")
    print(f"documented filters: {len(checked)} checked")


def check_row(row, length, data, failures, label):
    """Checks one tshark row against the datagram's bytes; returns the expected view."""
    src, dst = int(row["udp.srcport"]), int(row["udp.dstport"])
    view = expected_view(src, dst, length, data)
    claimed = row["velantis.length"] != ""
    where = f"{label} (frame {row['frame.number']}, {src}->{dst}, {length} bytes)"
    if view is None:
        failures.check(not claimed, f"{where}: decoded as Velantis but is not a packet")
        return None
    if not failures.check(claimed, f"{where}: not decoded as Velantis ({row['frame.protocols']})"):
        return view
    failures.check(row["_ws.col.Protocol"] == "Velantis", f"{where}: protocol column "
                   f"{row['_ws.col.Protocol']!r}")

    for name, want in view.items():
        if not name.startswith("velantis."):
            continue
        got = row[name]
        if want is None:
            failures.check(got == "", f"{where}: {name} shown as {got!r}, outside the datagram")
        elif name in HEX_FIELDS:
            failures.check(got != "" and int(got, 16) == want,
                           f"{where}: {name} {got} != {want:#x}")
        elif isinstance(want, int):
            failures.check(got == str(want), f"{where}: {name} = {got!r}, wire has {want}")
        else:
            failures.check(got == want, f"{where}: {name} = {got!r}, wire has {want!r}")

    status = STATUS_VALUES.get(row["velantis.checksum.status"])
    failures.check(status == view["status"],
                   f"{where}: checksum status {status}, expected {view['status']}")
    if view["status"] in ("Good", "Bad"):
        failures.check(int(row["velantis.checksum.calculated"], 16) == vp.checksum_of(data),
                       f"{where}: calculated checksum {row['velantis.checksum.calculated']}")
    for flag, name in FLAGS.items():
        failures.check((row[name] != "") == view[flag], f"{where}: expert {name} is "
                       f"{'shown' if row[name] else 'missing'}")
    failures.check((row["velantis.checksum.bad"] != "") == (view["status"] == "Bad"),
                   f"{where}: expert velantis.checksum.bad disagrees with the status")

    info = row["_ws.col.Info"]
    message_type = view["velantis.type"]
    if message_type is not None:
        name = "Snapshot" if view["snapshot"] else TYPE_NAMES.get(message_type,
                                                                  f"Unknown({message_type})")
        failures.check(name in info.split(), f"{where}: Info {info!r} lacks the type {name}")
    for key, prefix in (("velantis.client_id", "client="), ("velantis.player_uuid", "player="),
                        ("velantis.entity_id", "entity="), ("velantis.message_number", "#"),
                        ("velantis.snapshots", "snapshots="), ("velantis.snapshot.tick", "tick="),
                        ("velantis.snapshot.ack", "ack=")):
        if view[key] is not None:
            failures.check(f"{prefix}{view[key]}" in info.split(),
                           f"{where}: Info {info!r} lacks {prefix}{view[key]}")
    failures.check(("[BAD CHECKSUM]" in info) == (view["status"] == "Bad"),
                   f"{where}: Info {info!r} and the checksum status disagree")
    failures.check(("[MALFORMED]" in info) == view["malformed"],
                   f"{where}: Info {info!r} and the length disagree")
    failures.check(("[MALFORMED SNAPSHOT]" in info) == view["snapshot_malformed"],
                   f"{where}: Info {info!r} and the snapshot's length disagree")
    if view["malformed"] or view["snapshot_malformed"]:
        failures.check(f"{length} bytes" in info, f"{where}: Info {info!r} lacks the length")
    return view


def payload_of(row):
    """The UDP length and the captured payload bytes of a row."""
    length = int(row["udp.length"]) - 8
    return length, bytes.fromhex(row["udp.payload"].replace(":", ""))


def check_edge(args, tshark, failures):
    # Compared unpacked: another zlib may pack the same bytes differently.
    with gzip.open(args.capture, "rb") as checked_in:
        failures.check(checked_in.read() == gzip.decompress(make_capture.edge_capture_bytes()),
                       f"{args.capture} differs from what make_capture.py makes; rebuild it with "
                       f"'make_capture.py edge {args.capture}'")
    cases = make_capture.edge_cases()
    rows = tshark.rows(args.capture)
    failures.check(len(rows) == len(cases), f"{len(rows)} frames for {len(cases)} cases")
    for case, row in zip(cases, rows):
        length, data = payload_of(row)
        failures.check(length == len(case.payload), f"{case.name}: length {length}")
        view = check_row(row, length, data, failures, case.name)
        # The case's own expectation, written by hand, keeps the model above honest.
        expect = case.expect
        failures.check((view is not None) == expect["decoded"],
                       f"{case.name}: decoded is {view is not None}, "
                       f"the case says {expect['decoded']}")
        if view is not None:
            for key in ("status", "velantis.snapshots", *FLAGS):
                if key in expect:
                    failures.check(view[key] == expect[key], f"{case.name}: {key} is {view[key]}, "
                                   f"the case says {expect[key]}")
    types = {int(row["velantis.type"]) for row in rows if row["velantis.type"]}
    failures.check(types == set(range(256)), f"types decoded: {len(types)} of 256")

    # With the heuristic off, only datagrams on the server's port are claimed.
    for case, row in zip(cases, tshark.rows(args.capture, "-o", "velantis.heuristic:FALSE")):
        on_port = vp.SERVER_PORT in (case.src_port, case.dst_port)
        failures.check((row["velantis.length"] != "") == on_port,
                       f"{case.name}: heuristic off, decoded is {row['velantis.length'] != ''}")

    for expression, count in (("velantis.checksum.status == \"Bad\"", 7),
                              ("velantis.malformed", 11), ("velantis.type == 5", 11),
                              ("velantis.message.unterminated", 1), ("velantis.type == 6", 12),
                              ("velantis.snapshot.malformed", 4), ("velantis.snapshots", 2)):
        shown = tshark.run(args.capture, "-Y", expression).splitlines()
        failures.check(len(shown) == count,
                       f"filter {expression}: {len(shown)} frames, not {count}")
    tshark.check_no_lua_errors(args.capture, failures)
    print(f"edge: {len(rows)} frames checked")


def run_client(client, *arguments, timeout=120):
    result = subprocess.run([client, "--quiet"] + list(arguments), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=timeout)
    output = result.stdout.decode("utf-8", "replace")
    if result.returncode != 0:
        raise SystemExit(f"velantis-client {' '.join(arguments)} failed ({result.returncode}):\n"
                         f"{output}{result.stderr.decode('utf-8', 'replace')}")
    return output


ALICE_PORT, BOB_PORT = 41001, 41002
# Players that ask for snapshots: id and x of their one position update, numbered as the id, so
# that each player's copy of a snapshot acknowledges its own number.
SNAPSHOT_PLAYERS = ((4, 1.25), (5, -7.5))
RECV = re.compile(r"recv (\w+)\(\d+\) from=127\.0\.0\.1:(\d+) clientID=(\d+) messageNumber=(\d+) "
                  r"playerUUID=(\d+) entityID=(\d+) .*checksum=OK")


def received_lines(output, local_port):
    return [(local_port,) + match.groups() for match in RECV.finditer(output)]


def play_session(server, client, workdir):
    """The scripted session; returns the replies the clients printed, and the faulty datagrams
    sent from a plain socket with that socket's port."""
    import server_harness  # the end-to-end suite's server process, with its readiness check

    os.environ["VELANTIS_SERVER"] = os.path.abspath(server)
    process = server_harness.ServerProcess(os.path.join(workdir, "server"))
    process.start()
    replies = []
    try:
        alice, bob = str(ALICE_PORT), str(BOB_PORT)
        # Alice joins (her first update proves her address) and listens through Bob's arrival
        # and moves: 2 + 1, then 1 + 3 packets.
        listener = subprocess.Popen(
            [client, "--quiet", "--id", "1", "--connect", "--move", "0,0", "--text", "alice",
             "--local-port", alice, "--expect", "7", "--wait", "20"], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.wait_for_line("stdout", "NetworkingComponentServer(): Client admitted.")
        time.sleep(0.3)
        replies += received_lines(run_client(client, "--id", "2", "--connect", "--move",
                                             "3.5,-1", "--count", "3", "--rate", "50", "--text",
                                             "bob", "--local-port", bob, "--expect", "5"), bob)
        output, errors = listener.communicate(timeout=30)
        if listener.returncode != 0:
            raise SystemExit(f"Alice's client failed: {output!r} {errors!r}")
        replies += received_lines(output.decode(), alice)
        # Bob listens while Alice moves: both get the relay.
        listener = subprocess.Popen(
            [client, "--quiet", "--local-port", bob, "--expect", "1", "--wait", "60"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        listener.stderr.readline()  # "listening on ...": the socket is bound
        replies += received_lines(run_client(client, "--id", "1", "--move", "-2.25,8",
                                             "--local-port", alice, "--expect", "1", "--wait",
                                             "60"), alice)
        output, errors = listener.communicate(timeout=120)
        if listener.returncode != 0:
            raise SystemExit(f"Bob's listener failed: {output!r} {errors!r}")
        replies += received_lines(output.decode(), bob)
        # A type the server does not know, then faults a client cannot send by itself.
        run_client(client, "--id", "1", "--send-type", "4", "--text", "what is four",
                   "--local-port", alice, "--wait", "0")
        raw = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        raw.bind(("127.0.0.1", 0))
        raw_port = raw.getsockname()[1]
        corrupted = bytearray(vp.Packet(client_id=3, message_type=vp.CONNECT, message_number=1,
                                        text="corrupted").encode())
        corrupted[vp.MESSAGE_OFFSET + 2] ^= 0x20
        sends = [bytes(corrupted), vp.Packet(client_id=3, message_type=vp.CONNECT).encode()[:100],
                 vp.Packet(client_id=3, message_type=vp.CONNECT).encode() + b"\x55" * 144,
                 vp.Packet(client_id=3, message_type=vp.CONNECT).encode()[:8]]
        for datagram in sends:
            raw.sendto(datagram, ("127.0.0.1", vp.SERVER_PORT))
        raw.close()
        process.wait_for_line("stdout", "NetworkingComponentServer(): Message of size 8 bytes "
                              "received.", timeout=60)
        run_client(client, "--id", "2", "--disconnect", "--local-port", bob, "--wait", "0")
        run_client(client, "--id", "1", "--disconnect", "--local-port", alice, "--wait", "0")
        process.wait_for_line("stdout", "NetworkingComponentServer(): Client disconnected.",
                              count=2, timeout=60)
        play_snapshots(server_harness)
        process.wait_for_line("stdout", "NetworkingComponentServer(): Client disconnected.",
                              count=4, timeout=60)
    finally:
        process.kill()
    return replies, sends, raw_port


def play_snapshots(server_harness):
    """Players that ask for snapshots, from plain sockets (velantis-client cannot ask): each proves
    its address with an update, and they leave once a snapshot holds both positions."""
    players = []
    for client_id, x in SNAPSHOT_PLAYERS:
        player = server_harness.Client()
        player.send_packet(client_id, vp.CONNECT, b"snapshots", gap2=vp.SNAPSHOT_CAPABILITY)
        player.receive_packet()
        welcome = player.receive_packet()
        if welcome.gap2 != vp.SNAPSHOT_CAPABILITY:
            raise SystemExit(f"player {client_id} asked for snapshots and was not granted them")
        player.send_packet(client_id, vp.PLAYER_POSITION_UPDATE, entity_id=welcome.entity_id,
                           x=x, y=-x, message_number=client_id)
        players.append((player, client_id, (welcome.entity_id, x, -x)))
    deadline = time.monotonic() + 60
    while True:
        if time.monotonic() > deadline:
            raise SystemExit("no snapshot held both players' positions within 60 s")
        data, _ = players[0][0].receive(60)
        if len(data) != vp.PACKET_SIZE and all(vp.Snapshot.decode(data).position_of(client_id)
                                               == at for _, client_id, at in players):
            break
    for player, client_id, _ in players:
        player.send_packet(client_id, vp.DISCONNECT)
        player.close()


def check_live(args, tshark, failures, workdir):
    capture = os.path.join(workdir, "session.pcapng")
    capture_log = open(os.path.join(workdir, "dumpcap.txt"), "wb")
    # Only the session: CI captures in the machine's own network namespace, where other programs
    # may talk over loopback too.
    session_filter = f"udp port {vp.SERVER_PORT} or udp port {ALICE_PORT} or udp port {BOB_PORT}"
    dumpcap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", session_filter, "-w", capture],
                               stdin=subprocess.DEVNULL, stdout=capture_log, stderr=capture_log)
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(capture) or os.path.getsize(capture) == 0:
            if dumpcap.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("dumpcap did not start: " +
                                 open(os.path.join(workdir, "dumpcap.txt")).read())
            time.sleep(0.05)
        time.sleep(0.5)
        replies, sends, raw_port = play_session(args.server, args.client, workdir)
        time.sleep(0.5)
    finally:
        dumpcap.send_signal(signal.SIGTERM)
        dumpcap.wait(timeout=20)
        capture_log.close()

    rows = tshark.rows(capture)
    views = []
    for row in rows:
        length, data = payload_of(row)
        views.append((row, check_row(row, length, data, failures, "session datagram")))
        failures.check(views[-1][1] is not None, f"frame {row['frame.number']}: a datagram of the "
                       f"session is not decoded ({row['frame.protocols']})")

    # The session as the clients saw it, every packet in the capture with the same values.
    from_server = [(row, view) for row, view in views
                   if view and int(row["udp.dstport"]) in (ALICE_PORT, BOB_PORT)]
    failures.check(len(from_server) == len(replies) == 14, f"{len(from_server)} replies captured, "
                   f"{len(replies)} printed by the clients, 14 expected")
    for row, view in from_server:
        failures.check(int(row["udp.srcport"]) == vp.SERVER_PORT,
                       f"frame {row['frame.number']}: reply from port {row['udp.srcport']}")
    numbers = [view["velantis.message_number"] for _, view in from_server]
    failures.check(numbers == list(range(1, len(numbers) + 1)),
                   f"server message numbers in capture order: {numbers}")
    captured = sorted((row["udp.dstport"], TYPE_NAMES.get(view["velantis.type"]),
                       row["udp.srcport"], str(view["velantis.client_id"]),
                       str(view["velantis.message_number"]),
                       str(view["velantis.player_uuid"]), str(view["velantis.entity_id"]))
                      for row, view in from_server)
    printed = sorted((port, name, source, client_id, number, uuid, entity)
                     for port, name, source, client_id, number, uuid, entity in replies)
    failures.check(captured == printed, "replies in the capture differ from the clients' lines:\n"
                   f"  capture: {captured}\n  clients: {printed}")

    failures.check([payload_of(row)[1] for row in rows if int(row["udp.srcport"]) == raw_port]
                   == sends, "the faulty datagrams in the capture differ from those sent")
    to_server = [view for row, view in views if view and int(row["udp.dstport"]) == vp.SERVER_PORT]
    outline = [(TYPE_NAMES.get(v["velantis.type"], v["velantis.type"]), v["velantis.client_id"],
                v["status"], v["malformed"]) for v in to_server]
    want = [("Connect", 1, "Good", False), ("PlayerPositionUpdate", 1, "Good", False),
            ("Connect", 2, "Good", False)] + \
        [("PlayerPositionUpdate", 2, "Good", False)] * 3 + \
        [("PlayerPositionUpdate", 1, "Good", False), (4, 1, "Good", False),
         ("Connect", 3, "Bad", False), ("Connect", 3, "Unverified", True),
         ("Connect", 3, "Unverified", True), (None, None, None, True),
         ("Disconnect", 2, "Good", False),
         ("Disconnect", 1, "Good", False)] + \
        [(name, client_id, "Good", False) for client_id, _ in SNAPSHOT_PLAYERS
         for name in ("Connect", "PlayerPositionUpdate")] + \
        [("Disconnect", client_id, "Good", False) for client_id, _ in SNAPSHOT_PLAYERS]
    failures.check(outline == want, f"datagrams to the server: {outline}")
    failures.check(any(v["unknown_type"] for v in to_server), "the unknown type is not flagged")

    heuristic_off = tshark.rows(capture, "-o", "velantis.heuristic:FALSE")
    # Every datagram of this server's session is to or from its port: none needs the heuristic.
    failures.check(all(r["velantis.length"] != "" for r in heuristic_off),
                   "with the heuristic off, datagrams on port 15000 are not decoded")
    check_documented_filters(tshark, capture, rows, [view for _, view in views], failures,
                             must_match=True)

    # Cut short as a small snap length would: the fields that were captured, on port 15000.
    cut = os.path.join(workdir, "cut.pcapng")
    subprocess.run(["editcap", "-s", "200", capture, cut], check=True, stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=120)
    for row in tshark.rows(cut):
        length, data = payload_of(row)
        failures.check(len(data) == min(length, 200 - 42), f"cut capture: frame "
                       f"{row['frame.number']} kept {len(data)} of {length} bytes")
        check_row(row, length, data, failures, "cut capture")

    tshark.check_no_lua_errors(capture, failures)
    if args.keep:
        shutil.copy(capture, args.keep)
    print(f"live: {len(rows)} datagrams of the session checked")


def check_speed(args, tshark, failures, workdir):
    capture = os.path.join(workdir, "speed.pcap")
    with open(capture, "wb") as out:
        out.write(make_capture.pcap_bytes(make_capture.speed_records(args.packets)))
    timings = {}
    for label, options in (("with the plugin", []),
                           ("heuristic off", ["-o", "velantis.heuristic:FALSE"])):
        start = time.monotonic()
        shown = tshark.run(capture, *options)
        timings[label] = time.monotonic() - start
        lines = shown.count("\n")
        failures.check(lines == args.packets, f"speed: {lines} lines for {args.packets} packets")
    load, tshark.load = tshark.load, []
    start = time.monotonic()
    tshark.run(capture, "--disable-protocol", "velantis")
    baseline = time.monotonic() - start
    tshark.load = load
    for label, seconds in timings.items():
        print(f"speed: {args.packets} packets {label} in {seconds:.2f} s: "
              f"{args.packets / seconds:.0f} packets/s; tshark without the plugin "
              f"{baseline:.2f} s, so the plugin costs "
              f"{(seconds - baseline) * 1000 / args.packets:.2f} ms per packet")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["edge", "live", "speed"])
    parser.add_argument("--lua", required=True)
    parser.add_argument("--capture", default=os.path.join(HERE, "edge-cases.pcap.gz"))
    parser.add_argument("--server")
    parser.add_argument("--client")
    parser.add_argument("--packets", type=int, default=10000)
    parser.add_argument("--keep", help="copy the live capture here")
    args = parser.parse_args()
    if args.mode == "live" and not (args.server and args.client):
        parser.error("live needs --server and --client")

    failures = Failures()
    workdir = tempfile.mkdtemp(prefix="velantis-dissector.")
    try:
        tshark = Tshark(args.lua, workdir)
        {"edge": check_edge, "live": check_live, "speed": check_speed}[args.mode](
            *((args, tshark, failures) + ((workdir,) if args.mode != "edge" else ())))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    for message in failures.messages[:40]:
        print("FAIL: " + message)
    if failures.messages:
        print(f"{args.mode}: {len(failures.messages)} failures")
        sys.exit(1)
    print(f"{args.mode}: passed")


if __name__ == "__main__":
    main()
