#!/usr/bin/env python3
"""Writes captures of the game's packets for the Wireshark dissector's checks.

    make_capture.py edge OUT.pcap.gz      the edge cases a live session cannot produce on demand
    make_capture.py speed N OUT.pcap      N ordinary packets, for timing the dissector

The edge-case capture is checked in (tests/dissector/edge-cases.pcap.gz); this script makes the
same capture again, and the checks compare the two before they read the checked-in file. Wireshark
and tshark read the gzip-packed file as it is. Each case
carries what a reader must see in it (`expect`), which check_dissector.py compares with tshark's
output; the packets themselves are built with the end-to-end suite's codec.
"""

import gzip
import math
import os
import struct
import sys
from dataclasses import dataclass, field

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import velantis_protocol as vp  # noqa: E402

PLAYER_PORT = 40001
LINKTYPE_ETHERNET = 1
BASE_TIME = 1_700_000_000


@dataclass
class Case:
    name: str
    payload: bytes
    src_port: int = PLAYER_PORT
    dst_port: int = vp.SERVER_PORT
    captured: int = None  # bytes kept in the capture; None keeps them all
    # What the dissector must show: "decoded" (a Velantis packet or not), "status" (Good, Bad,
    # Unverified), the expert flags "malformed", "unknown_type", "unterminated",
    # "snapshot_malformed", and "velantis.snapshots" (asked, granted).
    expect: dict = field(default_factory=dict)


def _ipv4_checksum(header):
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frame(src_port, dst_port, payload, ident=0):
    """An Ethernet frame holding one IPv4/UDP datagram from 127.0.0.1 to 127.0.0.1, as on `lo`."""
    udp = struct.pack("!HHHH", src_port, dst_port, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), ident & 0xFFFF, 0x4000, 64, 17,
                         0, bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
    header = header[:10] + struct.pack("!H", _ipv4_checksum(header)) + header[12:]
    return bytes(12) + b"\x08\x00" + header + udp


def pcap_bytes(records):
    """A classic pcap file: records are (src_port, dst_port, payload, captured-or-None)."""
    out = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_ETHERNET))
    for index, (src_port, dst_port, payload, captured) in enumerate(records):
        data = frame(src_port, dst_port, payload, index)
        kept = data if captured is None else data[:42 + captured]
        out += struct.pack("<IIII", BASE_TIME + index // 1000, (index % 1000) * 1000, len(kept),
                           len(data))
        out += kept
    return bytes(out)


def sealed(**fields):
    return vp.Packet(**fields).encode()


def with_checksum_broken(data, offset=vp.CHECKSUM_OFFSET):
    broken = bytearray(data)
    broken[offset] ^= 0x01
    return bytes(broken)


def edge_cases():
    cases = []
    good = {"decoded": True, "status": "Good"}

    # Every value of the one-byte type, each with its own ids so a misread field shows.
    for value in range(256):
        cases.append(Case(f"type {value}", sealed(
            client_id=1000 + value, message_type=value, message_number=value,
            x=float(value), y=-float(value), text=f"type {value}", player_uuid=2000 + value,
            entity_id=3000 + value),
            expect=dict(good, unknown_type=value not in (1, 2, 3, 5))))

    # The server's replies leave from fresh ports: only the heuristic finds them.
    for number, (port, message_type, text) in enumerate(
            [(45066, vp.CONNECT, "alice"), (43708, vp.WELCOME, "welcome"),
             (53196, vp.PLAYER_POSITION_UPDATE, "Player position update")], start=1):
        cases.append(Case(f"reply {text}", sealed(
            client_id=1 if message_type != vp.WELCOME else 0, message_type=message_type,
            message_number=number, x=3.5, y=-1.0, text=text, player_uuid=1,
            entity_id=2187500974), src_port=port, dst_port=PLAYER_PORT, expect=good))
    cases.append(Case("packet between two other ports", sealed(
        client_id=9, message_type=vp.CONNECT, message_number=9, text="elsewhere"),
        src_port=23456, dst_port=34567, expect=good))

    cases.append(Case("every gap byte set", sealed(
        client_id=5, message_type=vp.PLAYER_POSITION_UPDATE, message_number=77, text="gaps",
        initialized=0xA5, gap0=bytes(range(0xB1, 0xB8)), gap1=b"\xC1\xC2\xC3",
        gap2=b"\xD1\xD2\xD3\xD4"), expect=good))
    cases.append(Case("gap bytes all ones", sealed(
        client_id=6, message_type=vp.WELCOME, text="ones", initialized=0xFF, gap0=b"\xFF" * 7,
        gap1=b"\xFF" * 3, gap2=b"\xFF" * 4), expect=good))
    cases.append(Case("not initialized", sealed(
        client_id=7, message_type=vp.CONNECT, text="zero", initialized=0), expect=good))
    cases.append(Case("text of 999 characters", sealed(
        client_id=8, message_type=vp.CONNECT, text="".join(chr(0x41 + i % 26) for i in range(999))),
        expect=good))
    cases.append(Case("text without terminator", sealed(
        client_id=9, message_type=vp.CONNECT, message_field=b"z" * vp.MESSAGE_CAPACITY),
        expect=dict(good, unterminated=True)))
    cases.append(Case("empty text", sealed(client_id=10, message_type=vp.DISCONNECT, text=""),
                      expect=good))
    cases.append(Case("bytes after the terminator", sealed(
        client_id=11, message_type=vp.PLAYER_POSITION_UPDATE, message_field=(
            b"hi\0" + bytes((i * 7 + 1) & 0xFF for i in range(vp.MESSAGE_CAPACITY - 3)))),
        expect=good))
    cases.append(Case("control characters and UTF-8 in the text", sealed(
        client_id=12, message_type=vp.CONNECT, text="tab\there\nline caf\u00e9 \\ \"q\"".encode()),
        expect=good))
    cases.append(Case("bytes that are not UTF-8 in the text", sealed(
        client_id=12, message_type=vp.CONNECT, text=b"bad \xff\xfe utf8 \x01\x7f\x1b end \xc3"),
        expect=good))
    cases.append(Case("largest ids and numbers", sealed(
        client_id=2**64 - 1, message_type=vp.CONNECT, message_number=2**32 - 1,
        player_uuid=2**64 - 2, entity_id=2**32 - 1, text="max"), expect=good))
    cases.append(Case("ids above 2^53", sealed(
        client_id=2**53 + 1, message_type=vp.PLAYER_POSITION_UPDATE, message_number=2**31,
        player_uuid=0x8000000000000001, entity_id=0x80000000, text="big"), expect=good))
    for x, y in [(math.nan, math.inf), (-math.inf, -0.0), (1e-45, -3.4e38), (0.1, 123456.789)]:
        cases.append(Case(f"position ({x}, {y})", sealed(
            client_id=13, message_type=vp.PLAYER_POSITION_UPDATE, message_number=13, x=x, y=y,
            text="floats"), expect=good))

    bad = {"decoded": True, "status": "Bad"}
    cases.append(Case("wrong checksum", with_checksum_broken(sealed(
        client_id=14, message_type=vp.CONNECT, message_number=14, text="corrupt")), expect=bad))
    cases.append(Case("checksum wrong in its high half only", with_checksum_broken(sealed(
        client_id=14, message_type=vp.CONNECT, message_number=15, text="corrupt"),
        vp.CHECKSUM_OFFSET + 7), expect=bad))
    corrupted_gap = bytearray(sealed(client_id=15, message_type=vp.PLAYER_POSITION_UPDATE,
                                     text="gap flipped"))
    corrupted_gap[1054] ^= 0x40
    cases.append(Case("gap byte changed after sealing", bytes(corrupted_gap), expect=bad))
    cases.append(Case("unknown type with a wrong checksum", with_checksum_broken(sealed(
        client_id=16, message_type=200, text="both")), expect=dict(bad, unknown_type=True)))
    # A wrong checksum away from port 15000 is not taken for a packet at all.
    cases.append(Case("reply with a wrong checksum", with_checksum_broken(sealed(
        client_id=1, message_type=vp.WELCOME, text="welcome")), src_port=47000,
        dst_port=PLAYER_PORT, expect={"decoded": False}))
    cases.append(Case("1056 bytes of something else", bytes((i * 31 + 7) & 0xFF for i in range(
        vp.PACKET_SIZE)), src_port=5000, dst_port=6000, expect={"decoded": False}))

    template = sealed(client_id=17, message_type=vp.CONNECT, message_number=17, x=1.5, y=2.5,
                      text="cut short", player_uuid=18, entity_id=19)
    malformed = {"decoded": True, "status": "Unverified", "malformed": True}
    for size in (0, 1, 20, 30, 100, 1000, 1050, 1055):
        cases.append(Case(f"datagram of {size} bytes", template[:size],
                          expect=dict(malformed, status=None if size < 16 else "Unverified")))
    for size in (1057, 1400):
        cases.append(Case(f"datagram of {size} bytes", template + b"\xEE" * (size - 1056),
                          expect=malformed))
    cases.append(Case("short datagram from the server's port", template[:200],
                      src_port=vp.SERVER_PORT, dst_port=PLAYER_PORT, expect=malformed))
    # A capture that kept only part of a datagram is not a short datagram.
    cases.append(Case("packet captured in part", template, captured=200,
                      expect={"decoded": True, "status": "Unverified"}))
    # The heuristic cannot verify a checksum it does not have all of.
    cases.append(Case("reply on another port captured in part", template, src_port=47000,
                      dst_port=PLAYER_PORT, captured=200, expect={"decoded": False}))
    return cases + snapshot_cases(good, bad)


def snapshot_cases(good, bad):
    """Snapshots, shorter than a packet and as long as their entries make them, and the ask for
    them at the end of a Connect and a Welcome."""
    from_server = dict(src_port=vp.SERVER_PORT, dst_port=PLAYER_PORT)
    elsewhere = dict(src_port=45066, dst_port=PLAYER_PORT)
    three = vp.Snapshot(message_number=70, tick=123456, ack=41, ack_bits=0x80000005, part=0,
                        parts=1, entries=[(1, 11, 1.5, -2.0), (2**53 + 1, 0, 0.1, 1e-45),
                                          (2**64 - 1, 2**32 - 1, math.nan, -math.inf)]).encode()
    none = vp.Snapshot(71, 7, 0, 0, 0, 1, []).encode()
    halves = [vp.Snapshot(72 + part, 9, 2, 1, part, 2, [
        (100 + 50 * part + k, 5000 + k, float(k), -0.5 * k) for k in range(count)]).encode()
        for part, count in ((0, 50), (1, 1))]
    miscounted = bytearray(three)
    miscounted[36] = 60
    miscounted = vp.seal_bytes(miscounted)
    wrong = dict(good, snapshot_malformed=True)
    cases = [Case("snapshot of three entries", three, **from_server, expect=good),
             Case("snapshot of no entry", none, **from_server, expect=good),
             Case("snapshot of 50 entries, part 0 of 2", halves[0], **from_server, expect=good),
             Case("snapshot of 1 entry, part 1 of 2", halves[1], **from_server, expect=good),
             Case("snapshot on other ports", three, **elsewhere, expect=good),
             Case("snapshot with a wrong checksum", with_checksum_broken(three), **from_server,
                  expect=bad),
             Case("snapshot with a wrong checksum on other ports", with_checksum_broken(three),
                  **elsewhere, expect={"decoded": False}),
             Case("snapshot counting more entries than it holds", miscounted, **from_server,
                  expect=wrong),
             Case("snapshot counting more entries on other ports", miscounted, **elsewhere,
                  expect={"decoded": False}),
             Case("snapshot with bytes after its acknowledgement",
                  vp.seal_bytes(three + b"\xEE" * 4), **from_server, expect=wrong),
             Case("snapshot captured in part", halves[0], **from_server, captured=200,
                  expect={"decoded": True, "status": "Unverified", "snapshot_malformed": False})]
    for size in (30, len(three) - 10):
        cases.append(Case(f"snapshot cut to {size} bytes", three[:size], **from_server,
                          expect=dict(bad, snapshot_malformed=True)))
    for message_type, shown in ((vp.CONNECT, "asked"), (vp.WELCOME, "granted"),
                                (vp.PLAYER_POSITION_UPDATE, None)):
        cases.append(Case(f"type {message_type} ending in SNP1", sealed(
            client_id=20, message_type=message_type, text="snapshots",
            gap2=vp.SNAPSHOT_CAPABILITY), expect=dict(good, **{"velantis.snapshots": shown})))
    return cases


def edge_capture_bytes():
    records = [(c.src_port, c.dst_port, c.payload, c.captured) for c in edge_cases()]
    # mtime 0 keeps the file the same from one run to the next.
    return gzip.compress(pcap_bytes(records), compresslevel=9, mtime=0)


def speed_records(count):
    """`count` packets like a busy session: updates to the server and relays from fresh ports."""
    sealer = vp.TailSealer(sealed(client_id=3, message_type=vp.PLAYER_POSITION_UPDATE,
                                  message_number=1, x=10.0, y=20.0, text="Player position update"))
    records = []
    for index in range(count):
        payload = sealer.seal_ids(index, index * 3)
        if index % 2:
            records.append((30000 + index % 20000, PLAYER_PORT, payload, None))
        else:
            records.append((PLAYER_PORT, vp.SERVER_PORT, payload, None))
    return records


def main(argv):
    if len(argv) == 3 and argv[1] == "edge":
        with open(argv[2], "wb") as out:
            out.write(edge_capture_bytes())
    elif len(argv) == 4 and argv[1] == "speed":
        with open(argv[3], "wb") as out:
            out.write(pcap_bytes(speed_records(int(argv[2]))))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
