"""The game's wire format as a client sees it, and the log lines the server writes for it.

Every 1056-byte packet is sent exactly as the server lays it out in memory (little-endian, no
byte-order conversion). The checksum is the 64-bit FNV-1a of all 1056 bytes with the checksum
field itself set to 0. Nothing here depends on the server's platform, so the same helpers serve
the native build and the Windows build.
"""

import struct
from dataclasses import dataclass, field

PACKET_SIZE = 1056
RECEIVE_BUFFER_SIZE = 1400
SERVER_PORT = 15000
MESSAGE_CAPACITY = 1000

CONNECT = 1
WELCOME = 2
DISCONNECT = 3
PLAYER_POSITION_UPDATE = 5
SNAPSHOT = 6
# The last four bytes of a Connect that asks for snapshots, and of the Welcome that grants them.
SNAPSHOT_CAPABILITY = b"SNP1"

CHECKSUM_OFFSET = 8
CLIENT_ID_OFFSET = 16
MESSAGE_TYPE_OFFSET = 24
MESSAGE_NUMBER_OFFSET = 28
POSITION_OFFSET = 32
MESSAGE_OFFSET = 40
PLAYER_UUID_OFFSET = 1040
ENTITY_ID_OFFSET = 1048

FNV_OFFSET_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
_MASK64 = (1 << 64) - 1

# initialized, gap, checksum, clientID, messageType, gap, messageNumber, position x/y, message,
# playerUUID, entityID, gap.
_LAYOUT = struct.Struct("<B7sQQB3sIff1000sQI4s")
assert _LAYOUT.size == PACKET_SIZE


def fnv1a64(data, state=FNV_OFFSET_BASIS):
    """FNV-1a 64 of `data`, continuing from `state` (the offset basis for a fresh hash)."""
    h = state
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & _MASK64
    return h


@dataclass
class Packet:
    client_id: int = 0
    message_type: int = 0
    message_number: int = 0
    x: float = 0.0
    y: float = 0.0
    text: bytes = b""
    player_uuid: int = 0
    entity_id: int = 0
    checksum: int = 0
    initialized: int = 1
    # Gap bytes and whatever follows the text's terminator travel too and are checksummed.
    gap0: bytes = bytes(7)
    gap1: bytes = bytes(3)
    gap2: bytes = bytes(4)
    message_field: bytes = field(default=None, repr=False)

    def encode(self, seal=True):
        """The 1056 bytes of the packet; with `seal`, the checksum field holds the right value."""
        message = self.message_field
        if message is None:
            text = self.text.encode() if isinstance(self.text, str) else self.text
            if len(text) > MESSAGE_CAPACITY:
                raise ValueError("text longer than the message field")
            message = text.ljust(MESSAGE_CAPACITY, b"\0")
        raw = _LAYOUT.pack(self.initialized, self.gap0, 0 if seal else self.checksum,
                           self.client_id, self.message_type, self.gap1, self.message_number,
                           self.x, self.y, message, self.player_uuid, self.entity_id, self.gap2)
        return seal_bytes(raw) if seal else raw

    @classmethod
    def decode(cls, data):
        if len(data) != PACKET_SIZE:
            raise ValueError(f"a packet is {PACKET_SIZE} bytes, got {len(data)}")
        (initialized, gap0, checksum, client_id, message_type, gap1, message_number, x, y, message,
         player_uuid, entity_id, gap2) = _LAYOUT.unpack(data)
        return cls(client_id=client_id, message_type=message_type, message_number=message_number,
                   x=x, y=y, text=message_text(message), player_uuid=player_uuid,
                   entity_id=entity_id, checksum=checksum, initialized=initialized, gap0=gap0,
                   gap1=gap1, gap2=gap2, message_field=message)


def message_text(message_field):
    """The text of a message field: up to its terminator, never beyond the field."""
    end = message_field.find(b"\0")
    return message_field if end < 0 else message_field[:end]


def checksum_of(data):
    """The checksum a packet or a snapshot should carry: FNV-1a 64 of all its bytes with the
    checksum field taken as 0."""
    return fnv1a64(data[CHECKSUM_OFFSET + 8:],
                   fnv1a64(bytes(8), fnv1a64(data[:CHECKSUM_OFFSET])))


def seal_bytes(data):
    data = bytearray(data)
    data[CHECKSUM_OFFSET:CHECKSUM_OFFSET + 8] = bytes(8)
    struct.pack_into("<Q", data, CHECKSUM_OFFSET, fnv1a64(data))
    return bytes(data)


def verify(data):
    if len(data) != PACKET_SIZE:
        return False
    return struct.unpack_from("<Q", data, CHECKSUM_OFFSET)[0] == checksum_of(data)


class TailSealer:
    """Seals many packets that differ only from `split` on, hashing the shared head once.

    Hashing 1056 bytes in Python costs about a tenth of a millisecond; a storm of valid packets
    that vary only in playerUUID, entityID and the last gap costs a few bytes each this way.
    """

    def __init__(self, template, split=PLAYER_UUID_OFFSET):
        assert split > CHECKSUM_OFFSET + 8
        head = bytearray(template[:split])
        head[CHECKSUM_OFFSET:CHECKSUM_OFFSET + 8] = bytes(8)
        self.head = head
        self.split = split
        self.state = fnv1a64(head)

    def seal(self, tail):
        assert len(self.head) + len(tail) == PACKET_SIZE
        data = self.head + tail
        struct.pack_into("<Q", data, CHECKSUM_OFFSET, fnv1a64(tail, self.state))
        return bytes(data)

    def seal_ids(self, player_uuid, entity_id, gap=bytes(4)):
        return self.seal(struct.pack("<QI4s", player_uuid, entity_id, gap))


@dataclass
class Snapshot:
    """A snapshot datagram: the packet's first 32 bytes, then tick, entry count, part and parts,
    the entries of (player id, entity id, x, y), and last ack and ack bits; checksummed like a
    packet, over its own length."""
    message_number: int
    tick: int
    ack: int
    ack_bits: int
    part: int
    parts: int
    entries: list

    HEADER = struct.Struct("<B7sQQB3sIIHBB")
    ENTRY = struct.Struct("<QIff")
    ACK = struct.Struct("<II")

    @classmethod
    def decode(cls, data):
        (_, _, checksum, client_id, message_type, _, number, tick, count, part,
         parts) = cls.HEADER.unpack_from(data)
        if message_type != SNAPSHOT or client_id != 0:
            raise ValueError(f"not a snapshot: type {message_type}, client id {client_id}")
        if len(data) != cls.HEADER.size + count * cls.ENTRY.size + cls.ACK.size:
            raise ValueError(f"{count} entries in a datagram of {len(data)} bytes")
        if checksum_of(data) != checksum:
            raise ValueError("a snapshot with a wrong checksum")
        entries = [cls.ENTRY.unpack_from(data, cls.HEADER.size + k * cls.ENTRY.size)
                   for k in range(count)]
        ack, ack_bits = cls.ACK.unpack_from(data, len(data) - cls.ACK.size)
        return cls(number, tick, ack, ack_bits, part, parts, entries)

    def encode(self):
        """The datagram as the server sends it, sealed."""
        data = self.HEADER.pack(1, bytes(7), 0, 0, SNAPSHOT, bytes(3), self.message_number,
                                self.tick, len(self.entries), self.part, self.parts)
        data += b"".join(self.ENTRY.pack(*entry) for entry in self.entries)
        return seal_bytes(data + self.ACK.pack(self.ack, self.ack_bits))

    def position_of(self, player_id):
        """(entity id, x, y) of the player, or None when this datagram does not carry it."""
        for entry in self.entries:
            if entry[0] == player_id:
                return entry[1:]
        return None


def escape_log_text(text):
    """The packet text as the server writes it on the log's "Message: " line."""
    out = bytearray()
    for b in text:
        if b == 0x5C:
            out += b"\\\\"
        elif b == 0x0A:
            out += b"\\n"
        elif b == 0x0D:
            out += b"\\r"
        elif b == 0x09:
            out += b"\\t"
        elif b < 0x20 or b == 0x7F:
            out += b"\\x%02x" % b
        else:
            out.append(b)
    return bytes(out)


def size_log_line(size):
    return b"NetworkingComponent(): Message of size %d bytes received. \n" % size


CORRUPTED_LOG_LINE = (b"NetworkingComponent(): [CORRUPTED] The packet received generate a wrong "
                      b"checksum. \n")
RECEIVE_HEADER_LOG_LINE = b"========= [RECEIVE] ========== \n"
RECEIVE_FOOTER_LOG_LINE = b"=================== \n"


def receive_log_lines(data):
    """The nine lines the server logs for a valid packet, as received (checksum as on the wire)."""
    p = Packet.decode(data)
    return [
        RECEIVE_HEADER_LOG_LINE,
        b"Checksum: %d\n" % p.checksum,
        b"From clientID: %d\n" % p.client_id,
        b"MessageNumber: %d\n" % p.message_number,
        b"MessageType: %d\n" % p.message_type,
        b"Message: " + escape_log_text(p.text) + b"\n",
        b"PlayerUUID: %d\n" % p.player_uuid,
        b"EntityID: %d\n" % p.entity_id,
        RECEIVE_FOOTER_LOG_LINE,
    ]


def server_log_line(text):
    """A dispatch line, e.g. server_log_line("Client connected.")."""
    return b"NetworkingComponentServer(): " + text.encode() + b" \n"


BANNER_LOG_LINES = [b"\n"] * 7 + [
    b"=" * 83 + b" \n",
    b"================== Thread[0] started. ================== \n",
    b"=" * 83 + b" \n",
]
