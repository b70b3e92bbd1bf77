"""A bounded storm of every kind of datagram, then ordinary play; run on its own (label soak).

The sender keeps the bytes it has in flight below the server socket's receive buffer: position
updates act as acknowledgements, since the highest-id player gets each relay last. The kernel's
drop counters of the server's socket and of every client socket are checked, so a datagram lost
on the way is told apart from one the server mishandled.
"""

import collections
import os
import random
import selectors
import struct
import sys
import time

import velantis_protocol as vp
from server_harness import ServerTestCase, udp_socket_drops

BASE_PLAYERS = 32
BASE_ID = 1000
TRANSIENT_SOCKETS = 4
# About 200 000 datagrams in all; the storm stops by itself after STORM_SECONDS regardless.
LENGTH_SWEEPS = 60
CORRUPTED = 40000
DEFAULT_CASE = 25000
UNREGISTERED_DISCONNECTS = 20000
TRANSIENT_PLAYERS = 4000
REPEATED_CONNECTS = 10000
OVERSIZED = (1401, 1500, 2000, 4096, 9000, 65507)
OVERSIZED_REPEATS = 20
UPDATE_EVERY = 16
STORM_SECONDS = 200
# Estimated kernel cost of the datagrams not yet read by the server, kept well below the default
# 208 KiB receive buffer of its socket.
IN_FLIGHT_BUDGET = 120_000
# One map node per registered player, with allocator overhead; generous on purpose.
REGISTRY_ENTRY_BYTES = 256
ALLOCATOR_SLACK_BYTES = 2 << 20


def kernel_cost(length):
    return 2 * length + 1024


class Soak(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.rng = random.Random(int(os.environ.get("VELANTIS_SOAK_SEED", "20261207")))

    def test_storm_then_normal_play(self):
        server = self.server
        # Under Wine the process figures are Wine's, not the server's: only the protocol counts.
        figures = not self.wine
        fds_after_start_up = server.fd_count() if figures else 0
        rss_after_start_up = server.rss_bytes() if figures else 0

        self.selector = selectors.DefaultSelector()
        self.base = [self.client(receive_buffer=4 << 20) for _ in range(BASE_PLAYERS)]
        self.transients = [self.client(receive_buffer=1 << 20) for _ in range(TRANSIENT_SOCKETS)]
        self.counts = {c: collections.Counter() for c in self.base + self.transients}
        self.message_numbers = []
        for c in self.base + self.transients:
            c.sock.setblocking(False)
            self.selector.register(c.sock, selectors.EVENT_READ, c)
        self.addCleanup(self.selector.close)

        self.sent_sizes = collections.Counter()  # datagrams up to the receive buffer's size
        self.sent_oversized = 0
        self.sent_valid = collections.Counter()  # checksum -> count
        self.expected_dispatch = collections.Counter()
        self.sent_cost = 0
        self.tag_costs = {}  # tag -> cumulative cost once that update was sent
        self.released_cost = 0
        self.next_tag = 0
        self.since_update = 0
        self.last_was_update = True

        for i, c in enumerate(self.base):
            self.send(c, vp.Packet(client_id=BASE_ID + i, message_type=vp.CONNECT,
                                   text=b"base").encode(), dispatch="Client connected.")
            self.wait_until(lambda: self.counts[c][vp.WELCOME] == 1)
        announced_to_base = [BASE_PLAYERS - i for i in range(BASE_PLAYERS)]

        templates = self.templates()
        plan = self.plan()
        started = time.monotonic()
        rss_warm = None
        planned = len(plan)
        for step, kind in enumerate(plan):
            if time.monotonic() - started > STORM_SECONDS:
                print(f"\nsoak: storm stopped by its time bound after {step} of {planned} steps",
                      file=sys.stderr)
                break
            if step == 5000:
                self.send_update()
                self.wait_until(lambda: self.released_cost == self.sent_cost)
                rss_warm = server.rss_bytes() if figures else 0
            self.send_kind(kind, templates)
            if self.since_update >= UPDATE_EVERY:
                self.send_update()
        self.send_update()
        self.wait_until(lambda: self.released_cost == self.sent_cost, timeout=120)
        storm_seconds = time.monotonic() - started
        storm_datagrams = sum(self.sent_sizes.values()) + self.sent_oversized - BASE_PLAYERS

        # Transient players were announced to every base player as they came.
        transient_connects = self.expected_dispatch["Client disconnected."]
        storm_updates = self.next_tag
        rss_after_storm = server.rss_bytes() if figures else 0
        fds_after_storm = server.settled_fd_count(fds_after_start_up) if figures else 0

        # Ordinary play afterwards: a newcomer is admitted, moves and leaves.
        total_sent_by_server = len(self.message_numbers)
        newcomer = self.client()
        _, announcement, welcome = self.connect(newcomer, 7, b"after the storm")
        # Id 7 comes before every base player: its announcement, theirs, then its welcome.
        self.assertEqual(announcement.message_number, total_sent_by_server + 1)
        self.assertEqual(welcome.message_number, total_sent_by_server + 34)
        newcomer.send_packet(7, vp.PLAYER_POSITION_UPDATE, b"walk", x=1.0, y=2.0)
        moved = newcomer.receive_packet()
        self.assertEqual((moved.client_id, moved.x, moved.y), (7, 1.0, 2.0))
        self.assertEqual(moved.message_number, total_sent_by_server + 35)
        newcomer.send_packet(7, vp.DISCONNECT)
        self.send_update()
        self.wait_until(lambda: self.released_cost == self.sent_cost)
        # That acknowledgement is the last player's copy; the other copies of one relay may reach
        # their sockets a moment later (the kernel can deliver one batch from two processors), so
        # their counts are given a bounded moment to settle before they are checked exactly.
        settle = time.monotonic() + 60
        while time.monotonic() < settle and any(
                self.counts[c][vp.PLAYER_POSITION_UPDATE] < self.next_tag + 1 for c in self.base):
            self.drain(0.1)

        memory = (f"; RSS {rss_after_start_up >> 10} KiB at start-up, {(rss_warm or 0) >> 10} KiB "
                  f"warm, {rss_after_storm >> 10} KiB after" if figures else "")
        print(f"\nsoak: {storm_datagrams} datagrams in {storm_seconds:.1f} s "
              f"({storm_datagrams / storm_seconds:.0f}/s), {sum(self.sent_valid.values())} valid, "
              f"{storm_updates} updates relayed to {BASE_PLAYERS}, {transient_connects} transient "
              f"players, {total_sent_by_server} datagrams sent by the server{memory}",
              file=sys.stderr)

        # Nothing was lost on the way, so everything below must hold exactly.
        self.assertEqual(udp_socket_drops(vp.SERVER_PORT), 0, "server socket dropped datagrams")
        for c in self.base + self.transients:
            self.assertEqual(udp_socket_drops(c.port), 0, "a client socket dropped datagrams")

        for i, c in enumerate(self.base):
            self.assertEqual(self.counts[c][vp.CONNECT],
                             announced_to_base[i] + transient_connects + 1, f"player {i}")
            # The storm's updates, the newcomer's and the last tick.
            self.assertEqual(self.counts[c][vp.PLAYER_POSITION_UPDATE], self.next_tag + 1,
                             f"player {i}")
        self.assertEqual(sum(self.counts[c][vp.WELCOME] for c in self.transients),
                         transient_connects)
        # Every message number the server stamped, once each, none skipped.
        self.message_numbers += [p.message_number for p in (announcement, welcome, moved)]
        self.assertEqual(sorted(self.message_numbers),
                         list(range(1, len(self.message_numbers) + 1)))

        self.check_log()
        if not figures:
            return
        self.assertEqual(fds_after_storm, fds_after_start_up)
        self.assertEqual(server.settled_fd_count(fds_after_start_up), fds_after_start_up)
        # The registry is back to the base players; at its peak it held one transient more.
        registry_share = (BASE_PLAYERS + 2) * REGISTRY_ENTRY_BYTES
        if rss_warm is not None:
            self.assertLessEqual(rss_after_storm - rss_warm, registry_share + ALLOCATOR_SLACK_BYTES)
        self.assertLessEqual(rss_after_storm - rss_after_start_up,
                             registry_share + 4 * ALLOCATOR_SLACK_BYTES)
        self.check_console()

    # ----- what is sent

    def templates(self):
        def sealer(client_id, message_type, text):
            return vp.TailSealer(vp.Packet(client_id=client_id, message_type=message_type,
                                           text=text).encode())
        return {
            "default": [sealer(BASE_ID + 1, t, b"odd type %d" % t) for t in (0, 2, 4, 6, 255)],
            "disconnect": [sealer(900_000 + i, vp.DISCONNECT, b"who?") for i in range(50)],
            "repeat": [sealer(BASE_ID + i, vp.CONNECT, b"again") for i in range(BASE_PLAYERS)],
            "valid": [sealer(BASE_ID + 2, vp.DISCONNECT, b"flip me %d" % i) for i in range(8)],
        }

    def plan(self):
        kinds = (["sweep"] * (LENGTH_SWEEPS * (vp.RECEIVE_BUFFER_SIZE + 1)) +
                 ["corrupted"] * CORRUPTED + ["default"] * DEFAULT_CASE +
                 ["disconnect"] * UNREGISTERED_DISCONNECTS + ["transient"] * TRANSIENT_PLAYERS +
                 ["repeat"] * REPEATED_CONNECTS +
                 ["oversized"] * (len(OVERSIZED) * OVERSIZED_REPEATS))
        self.rng.shuffle(kinds)
        self.sweep_lengths = iter([n for _ in range(LENGTH_SWEEPS)
                                   for n in range(vp.RECEIVE_BUFFER_SIZE + 1)])
        self.oversized_lengths = iter(OVERSIZED * OVERSIZED_REPEATS)
        return kinds

    def unique_tail(self):
        return self.rng.getrandbits(64), self.rng.getrandbits(32)

    def send_kind(self, kind, templates):
        rng = self.rng
        sender = self.transients[rng.randrange(TRANSIENT_SOCKETS)]
        if kind == "sweep":
            length = next(self.sweep_lengths)
            if rng.random() < 0.5:
                data = rng.randbytes(length)
            else:  # the head of a valid packet, which must not pass for one
                base = rng.choice(templates["valid"]).seal_ids(*self.unique_tail())
                data = (base + rng.randbytes(vp.RECEIVE_BUFFER_SIZE))[:length]
                if length == vp.PACKET_SIZE:
                    data = base[:-1] + bytes([base[-1] ^ 0x80])
            self.send(sender, data, valid=False)
        elif kind == "oversized":
            self.send(sender, rng.randbytes(next(self.oversized_lengths)), valid=False)
        elif kind == "corrupted":
            data = bytearray(rng.choice(templates["valid"]).seal_ids(*self.unique_tail()))
            data[rng.randrange(vp.PACKET_SIZE)] ^= 1 << rng.randrange(8)
            self.send(sender, bytes(data), valid=False)
        elif kind == "default":
            self.send(sender, rng.choice(templates["default"]).seal_ids(*self.unique_tail()))
        elif kind == "disconnect":
            self.send(sender, rng.choice(templates["disconnect"]).seal_ids(*self.unique_tail()),
                      dispatch="Client is not connected.")
        elif kind == "repeat":
            self.send(sender, rng.choice(templates["repeat"]).seal_ids(*self.unique_tail()),
                      dispatch="Client already connected.")
        elif kind == "transient":
            client_id = 2_000_000 + self.expected_dispatch["Client disconnected."]
            self.send(sender, vp.Packet(client_id=client_id, message_type=vp.CONNECT,
                                        text=b"passing by").encode(), dispatch="Client connected.")
            self.send(sender, vp.Packet(client_id=client_id, message_type=vp.DISCONNECT,
                                        text=b"bye").encode(), dispatch="Client disconnected.")

    def send_update(self):
        """A tagged position update; its relay to the last player acknowledges it."""
        tag = self.next_tag
        self.next_tag += 1
        client_id = BASE_ID if tag % 2 else 800_000 + tag  # registered or not, relayed all the same
        data = vp.Packet(client_id=client_id, message_type=vp.PLAYER_POSITION_UPDATE, text=b"tick",
                         x=float(tag), entity_id=tag).encode()
        self.send(self.base[0], data, ack_tag=tag)

    def send(self, client, data, valid=True, dispatch=None, ack_tag=None):
        cost = kernel_cost(len(data))
        # An update always goes out: the budget leaves room for it, and it is what frees room.
        if ack_tag is None and self.sent_cost - self.released_cost + cost > IN_FLIGHT_BUDGET:
            if not self.last_was_update:
                self.send_update()
            self.wait_until(lambda: self.sent_cost == self.released_cost or
                            self.sent_cost - self.released_cost + cost <= IN_FLIGHT_BUDGET)
        client.sock.sendto(data, ("127.0.0.1", vp.SERVER_PORT))
        self.sent_cost += cost
        if len(data) > vp.RECEIVE_BUFFER_SIZE:
            self.sent_oversized += 1
        else:
            self.sent_sizes[len(data)] += 1
        if valid:
            self.sent_valid[struct.unpack_from("<Q", data, vp.CHECKSUM_OFFSET)[0]] += 1
        if dispatch:
            self.expected_dispatch[dispatch] += 1
        if ack_tag is not None:
            self.tag_costs[ack_tag] = self.sent_cost
            self.since_update = 0
            self.last_was_update = True
        else:
            self.since_update += 1
            self.last_was_update = False

    # ----- what comes back

    def drain(self, timeout):
        last = self.base[-1]
        for key, _ in self.selector.select(timeout):
            client = key.data
            counts = self.counts[client]
            while True:
                try:
                    data = client.sock.recv(2048)
                except BlockingIOError:
                    break
                message_type = data[vp.MESSAGE_TYPE_OFFSET]
                counts[message_type] += 1
                self.message_numbers.append(
                    struct.unpack_from("<I", data, vp.MESSAGE_NUMBER_OFFSET)[0])
                if len(self.message_numbers) % 997 == 0:
                    self.assertTrue(vp.verify(data), "the server sent a wrong checksum")
                if client is last and message_type == vp.PLAYER_POSITION_UPDATE:
                    tag = struct.unpack_from("<I", data, vp.ENTITY_ID_OFFSET)[0]
                    if tag in self.tag_costs:
                        self.released_cost = max(self.released_cost, self.tag_costs.pop(tag))

    def wait_until(self, condition, timeout=60.0):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail(f"the server stopped answering (pid alive: {self.server.alive()}, "
                          f"socket drops: {udp_socket_drops(vp.SERVER_PORT)})")
            self.drain(0.5)

    # ----- what the server wrote

    def check_log(self):
        lines = self.log_after_banner()
        sizes = collections.Counter()
        checksums = collections.Counter()
        dispatch = collections.Counter()
        corrupted = 0
        i = 0
        prefix = b"NetworkingComponent(): Message of size "
        fields = (b"Checksum: ", b"From clientID: ", b"MessageNumber: ", b"MessageType: ",
                  b"Message: ", b"PlayerUUID: ", b"EntityID: ")
        while i < len(lines):
            line = lines[i]
            i += 1
            if line.startswith(prefix):
                sizes[int(line[len(prefix):].split(b" ")[0])] += 1
            elif line == vp.CORRUPTED_LOG_LINE:
                corrupted += 1
            elif line == vp.RECEIVE_HEADER_LOG_LINE:
                block = lines[i:i + 8]
                i += 8
                self.assertEqual([b[:len(f)] for b, f in zip(block, fields)], list(fields))
                self.assertEqual(block[7], vp.RECEIVE_FOOTER_LOG_LINE)
                checksums[int(block[0][len(fields[0]):])] += 1
            elif line.startswith(b"NetworkingComponentServer(): "):
                dispatch[line[len(b"NetworkingComponentServer(): "):-2].decode()] += 1
            else:
                self.fail(f"unexpected log line {line!r}")

        # Besides what went through send(): the newcomer's Connect, update and Disconnect.
        newcomer_packets = 3
        self.assertEqual(sizes - self.sent_sizes,
                         collections.Counter({vp.PACKET_SIZE: newcomer_packets}))
        self.assertEqual(self.sent_sizes - sizes, collections.Counter())
        self.assertEqual(corrupted, sum(self.sent_sizes.values()) - sum(self.sent_valid.values()))
        self.assertEqual(sum((checksums - self.sent_valid).values()), newcomer_packets)
        missing = self.sent_valid - checksums
        self.assertEqual(missing, collections.Counter(), "valid packets missing from the log")
        self.assertEqual(max(checksums.values()), 1)
        expected_dispatch = self.expected_dispatch.copy()
        expected_dispatch["Client connected."] += 1
        expected_dispatch["Client disconnected."] += 1
        self.assertEqual(dispatch, expected_dispatch)

    def check_console(self):
        oversized_lines = 0
        with open(self.server.stdout_path, "rb") as f:
            for line in f:
                if line == b"error90\n":
                    oversized_lines += 1
        self.assertEqual(oversized_lines, self.sent_oversized)
