#!/usr/bin/env python3
"""Games through a user-space relay that drops, delays and reorders, with the client library.

Runs the real server on 127.0.0.1:15000 and a relay on 127.0.0.1:16000 that the players (the
library through ctypes, several handles in this process) take for the server. Run it on the
loopback of a network namespace of its own (the client leg does, under unshare --net).

  reorder:  the relay holds every Disconnect back 60 ms, so a Connect sent right after it
            arrives first; the server restarts; both players must hear each other afterwards.
  outage:   the server is down 8 s (timeout 1 s, connect_timeout 3 s): the players end connected
            without game code, and no PLAYER_LEFT comes around the CONNECTION_LOST.
  keepalive: a line of text sent once with a position, then 4 s standing still: seen once.
  text:     4 players, 25 chat lines each, 20% loss each way, 40 +- 10 ms each way: at least 99%
            of the lines reach every other player, once, in order (the delay is printed).
  stale:    the relay delays every third datagram to one player by 80 ms: the updates it hands
            over never go back in x, and the late ones are counted.
  names:    a player joining late gets the names of the two moving players already there.
  forged:   the server stops serving a player while the relay replays copies of the player's own
            update and a re-announcement of the other: it loses the connection within 3 x
            timeout_ms, and the other player neither leaves nor joins again.

Usage: relayed.py --server PATH --library PATH [--only NAME]
"""
import argparse
import ctypes as C
import heapq
import os
import random
import select
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

SERVER_PORT, RELAY_PORT = 15000, 16000
CONNECT, WELCOME, DISCONNECT, UPDATE = 1, 2, 3, 5
(WELCOMED, JOINED, POSITION, _, FAILED, LOST, LEFT, TEXT) = range(1, 9)
TEXT_EVENTS = 4


class Config(C.Structure):
    _fields_ = [("server_address", C.c_char_p), ("client_id", C.c_uint64),
                ("server_port", C.c_uint16), ("local_port", C.c_uint16)] + [
        (name, C.c_uint32) for name in (
            "first_resend_ms", "max_resend_ms", "tries_before_restart", "connect_timeout_ms",
            "size", "keepalive_ms", "timeout_ms", "player_timeout_ms", "max_players", "flags",
            "reserved", "reconnect_max_tries", "interpolation_delay_ms")]


class Event(C.Structure):
    _fields_ = [("type", C.c_int32), ("reject_reason", C.c_int32), ("player_id", C.c_uint64),
                ("client_id", C.c_uint64), ("entity_id", C.c_uint32),
                ("message_number", C.c_uint32), ("x", C.c_float), ("y", C.c_float),
                ("text", C.c_void_p), ("text_length", C.c_uint32), ("datagram_size", C.c_int32),
                ("from_address", C.c_uint32), ("from_port", C.c_uint16),
                ("message_type", C.c_uint8), ("reserved", C.c_uint8)]


class Stats(C.Structure):
    _fields_ = [(name, C.c_float) for name in (
        "rtt_last_ms", "rtt_smoothed_ms", "update_loss", "in_per_second", "out_per_second")] + [
        ("server_silent_ms", C.c_int32)] + [(name, C.c_uint64) for name in (
            "updates_sent", "updates_returned", "updates_lost", "keepalives_sent",
            "rejected_source", "rejected_welcome", "connections_lost", "players_untracked")] + [
        ("players", C.c_uint32), ("reserved", C.c_uint32)] + [(name, C.c_uint64) for name in (
            "bytes_sent", "bytes_received", "updates_stale", "own_unmatched",
            "announcements_ignored", "texts_sent", "texts_confirmed", "texts_received")] + [
        ("texts_queued", C.c_uint32), ("jitter_ms", C.c_float), ("unanswered_ms", C.c_int32),
        ("reserved2", C.c_uint32)]


lib = None


def load(path):
    global lib
    lib = C.CDLL(path)
    lib.velantis_client_create.restype = C.c_void_p
    lib.velantis_client_create.argtypes = [C.POINTER(Config), C.c_char_p, C.c_size_t]
    for name in ("destroy", "connect", "service", "send_position_text", "disconnect", "state",
                 "stats", "entity_id"):
        getattr(lib, "velantis_client_" + name).argtypes = None
    lib.velantis_client_send_position_text.argtypes = [C.c_void_p, C.c_float, C.c_float,
                                                       C.c_uint32, C.c_char_p]


class Player:
    """One handle; every event it returns is kept as (type, player_id, text, x, time)."""

    def __init__(self, player_id, name, port=RELAY_PORT, **settings):
        config = Config()
        lib.velantis_config_init_sized(C.byref(config), C.sizeof(Config))
        config.client_id, config.server_port = player_id, port
        config.flags = TEXT_EVENTS
        for key, value in settings.items():
            setattr(config, key, value)
        error = C.create_string_buffer(256)
        self.handle = C.c_void_p(lib.velantis_client_create(C.byref(config), error, 256))
        assert self.handle, error.value
        self.id, self.events = player_id, []
        lib.velantis_client_connect(self.handle, name.encode(), C.c_float(0), C.c_float(0))

    def pump(self):
        event = Event()
        while lib.velantis_client_service(self.handle, C.byref(event), 0) == 1:
            text = C.string_at(event.text, event.text_length).decode() if event.text else ""
            self.events.append((event.type, event.player_id, text, event.x, time.monotonic()))

    def connected(self):
        return lib.velantis_client_state(self.handle) == 2

    def move(self, x, text="walking"):
        if self.connected():
            lib.velantis_client_send_position_text(self.handle, x, 0.0,
                                                   lib.velantis_client_entity_id(self.handle),
                                                   text.encode())

    def say(self, line):
        # 1.2 has no chat lines: a game then sends the line with its position.
        if hasattr(lib, "velantis_client_send_text"):
            return lib.velantis_client_send_text(self.handle, line.encode())
        return self.move(0.0, line)

    def stats(self):
        stats = Stats()
        lib.velantis_client_stats(self.handle, C.byref(stats), C.c_size_t(C.sizeof(Stats)))
        return stats

    def of(self, kind, player_id=None):
        return [e for e in self.events if e[0] == kind and player_id in (None, e[1])]

    def close(self):
        lib.velantis_client_disconnect(self.handle)
        lib.velantis_client_destroy(self.handle)


def play(players, seconds, until=None, every=None):
    """Services the players every 5 ms (and calls `every` each 33 ms) until `until` or the end."""
    end, frame = time.monotonic() + seconds, 0.0
    while time.monotonic() < end:
        for player in players:
            player.pump()
        if until is not None and until():
            return True
        if every is not None and time.monotonic() >= frame:
            frame = time.monotonic() + 1 / 30
            every()
        time.sleep(0.005)
    return until is None


class Server:
    def __init__(self, path):
        self.path, self.process = path, None

    def start(self):
        self.data = tempfile.mkdtemp(prefix="velantis-relayed-")
        self.process = subprocess.Popen([self.path], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, XDG_DATA_HOME=self.data))
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for _ in range(200):  # bound once its port is taken
            try:
                probe.bind(("127.0.0.1", SERVER_PORT))
            except OSError:
                break
            probe.close()
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            time.sleep(0.05)
        probe.close()

    def stop(self):
        self.process.kill()
        self.process.wait(timeout=10)


class Relay(threading.Thread):
    """Players <-> 127.0.0.1:RELAY_PORT <-> one socket per player <-> the server."""

    def __init__(self, loss=0.0, delay=0.0, jitter=0.0, seed=1):
        super().__init__(daemon=True)
        self.front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.front.bind(("127.0.0.1", RELAY_PORT))
        self.loss, self.delay, self.jitter = loss, delay, jitter
        self.random, self.queue, self.sequence = random.Random(seed), [], 0
        self.back, self.player_of, self.lock = {}, {}, threading.Lock()
        self.hold_disconnect, self.late_every, self.blocked = 0.0, {}, set()
        self.captured, self.replaying, self.stopped = {}, None, False
        self.start()

    def later(self, due, sock, data, to):
        self.sequence += 1
        heapq.heappush(self.queue, (due, self.sequence, sock, data, to))

    def path(self, sock, data, to, extra=0.0):
        if self.random.random() < self.loss:
            return
        delay = self.delay + self.random.uniform(-self.jitter, self.jitter) + extra
        self.later(time.monotonic() + max(delay, 0), sock, data, to)

    def run(self):
        counts = {}
        while not self.stopped:
            now = time.monotonic()
            with self.lock:
                while self.queue and self.queue[0][0] <= now:
                    _, _, sock, data, to = heapq.heappop(self.queue)
                    sock.sendto(data, to)
                if self.replaying and now >= self.replaying[0]:
                    self.replaying[0] = now + 0.2
                    for data, to in self.replaying[1]:
                        self.front.sendto(data, to)
                wait = min([0.05] + [self.queue[0][0] - now] if self.queue else [0.05])
                sockets = [self.front] + list(self.back.values())
            for sock in select.select(sockets, [], [], max(wait, 0))[0]:
                data, source = sock.recvfrom(2048)
                with self.lock:
                    if sock is self.front:
                        if source not in self.back:
                            self.back[source] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                            self.player_of[self.back[source]] = source
                        kind = data[24] if len(data) == 1056 else 0
                        hold = self.hold_disconnect if kind == DISCONNECT else 0.0
                        self.path(self.back[source], data, ("127.0.0.1", SERVER_PORT), hold)
                        continue
                    player = self.player_of[sock]
                    if len(data) == 1056:
                        about = struct.unpack_from("<Q", data, 1040)[0]
                        self.captured[(player, about, data[24])] = data
                    if player in self.blocked:
                        continue
                    counts[player] = counts.get(player, 0) + 1
                    every = self.late_every.get(player, 0)
                    late = 0.08 if every and counts[player] % every == 0 else 0.0
                    self.path(self.front, data, player, late)

    def address_of(self, handle):
        return ("127.0.0.1", lib.velantis_client_local_port(handle))

    def close(self):
        self.stopped = True
        self.join(timeout=5)
        self.front.close()
        for sock in self.back.values():
            sock.close()


def reorder(server, failures):
    relay = Relay()
    relay.hold_disconnect = 0.06
    players = [Player(401, "a"), Player(402, "b")]
    try:
        play(players, 10, lambda: all(p.connected() for p in players))
        server.stop()
        time.sleep(1)
        server.start()
        for player in players:
            del player.events[:]
        welcomed = play(players, 20, lambda: all(p.of(WELCOMED) for p in players),
                        every=lambda: [p.move(1.0) for p in players])
        # Past the held Disconnects: what is heard from now on comes after them.
        play(players, 0.5, every=lambda: [p.move(1.0) for p in players])
        for player in players:
            del player.events[:]
        heard = play(players, 6, lambda: players[0].of(POSITION, 402) and
                     players[1].of(POSITION, 401), every=lambda: [p.move(2.0) for p in players])
        print(f"reorder: welcomed again {welcomed}, hearing each other {bool(heard)}")
        if not (welcomed and heard):
            failures.append("reorder: after the server's restart a player is deaf")
    finally:
        for player in players:
            player.close()
        relay.close()


def outage(server, failures):
    relay = Relay()
    settings = dict(timeout_ms=1000, connect_timeout_ms=3000, player_timeout_ms=1000)
    players = [Player(411, "a", **settings), Player(412, "b", **settings)]
    try:
        play(players, 10, lambda: all(p.connected() for p in players),
             every=lambda: [p.move(1.0) for p in players])
        play(players, 1, every=lambda: [p.move(1.0) for p in players])
        server.stop()
        play(players, 8)
        server.start()
        back = time.monotonic()
        connected = play(players, 30, lambda: all(
            p.connected() and any(e[4] > back for e in p.of(POSITION, 823 - p.id))
            for p in players), every=lambda: [p.move(3.0) for p in players])
        print(f"outage: server down 8 s; both back and hearing each other {connected} "
              f"{time.monotonic() - back:.1f} s after its return")
        for player in players:
            kinds = [e[0] for e in player.events if e[0] in (LOST, LEFT, FAILED)]
            if kinds != [LOST]:
                failures.append(f"outage: player {player.id} saw {kinds}, not one "
                                "CONNECTION_LOST and no PLAYER_LEFT or CONNECT_FAILED")
        if not connected:
            failures.append("outage: the players did not come back by themselves")
    finally:
        for player in players:
            player.close()
        relay.close()


def keepalive(server, failures):
    relay = Relay()
    players = [Player(421, "a", keepalive_ms=500), Player(422, "b", keepalive_ms=500)]
    try:
        play(players, 10, lambda: all(p.connected() for p in players))
        players[0].move(5.0, "one line only")
        play(players, 4)
        seen = [e for e in players[1].events if e[1] == 421 and e[2] == "one line only"]
        print(f"keepalive: the line was seen {len(seen)} time(s) in 4 s")
        if len(seen) != 1:
            failures.append(f"keepalive: a line sent once was seen {len(seen)} times")
    finally:
        for player in players:
            player.close()
        relay.close()


def text(server, failures):
    relay = Relay(loss=0.2, delay=0.04, jitter=0.01)
    ids = [431, 432, 433, 434]
    players = [Player(i, f"p{i}") for i in ids]
    lines, sent_at = 25, {}
    try:
        play(players, 30, lambda: all(p.connected() for p in players))
        play(players, 1, every=lambda: [p.move(1.0) for p in players])
        for player in players:
            del player.events[:]
        for n in range(lines):
            for player in players:
                line = f"line {n} from {player.id}"
                sent_at[line] = time.monotonic()
                player.say(line)
            play(players, 0.1, every=lambda: [p.move(1.0) for p in players])
        play(players, 60, lambda: all(p.stats().texts_queued == 0 for p in players),
             every=lambda: [p.move(1.0) for p in players])
        play(players, 2, every=lambda: [p.move(1.0) for p in players])
        got, duplicates, disorder, delays = 0, 0, 0, []
        for player in players:
            for sender in ids:
                if sender == player.id:
                    continue
                texts = [e for e in player.events if e[1] == sender and e[2].startswith("line ")]
                numbers = [int(e[2].split()[1]) for e in texts]
                got += len(set(numbers))
                duplicates += len(numbers) - len(set(numbers))
                disorder += sum(1 for a, b in zip(numbers, numbers[1:]) if b < a)
                delays += [e[4] - sent_at[e[2]] for e in texts]
        share = got / (lines * len(ids) * (len(ids) - 1))
        delays.sort()
        print(f"text: {share:.1%} of the lines arrived, {duplicates} duplicates, {disorder} out of "
              f"order; delay median {statistics.median(delays) * 1000:.0f} ms, 99th percentile "
              f"{delays[int(len(delays) * 0.99) - 1] * 1000:.0f} ms" if delays else "text: none")
        if share < 0.99 or duplicates or disorder:
            failures.append(f"text: {share:.1%} arrived, {duplicates} duplicates, "
                            f"{disorder} out of order")
    finally:
        for player in players:
            player.close()
        relay.close()


def stale(server, failures):
    relay = Relay()
    players = [Player(441, "a"), Player(442, "b")]
    x = [0.0]

    def walk():
        x[0] += 1.0
        players[0].move(x[0])
    try:
        play(players, 10, lambda: all(p.connected() for p in players))
        relay.late_every[relay.address_of(players[1].handle)] = 3
        play(players, 3, every=walk)
        relay.late_every.clear()
        play(players, 1)
        xs = [e[3] for e in players[1].of(POSITION, 441)]
        back = sum(1 for a, b in zip(xs, xs[1:]) if b < a)
        late = players[1].stats().updates_stale
        print(f"stale: {len(xs)} updates handed over, {back} went back, {late} counted as late")
        if back or not late or not xs:
            failures.append(f"stale: {back} updates went back in x, {late} counted as late")
    finally:
        for player in players:
            player.close()
        relay.close()


def names(server, failures):
    relay = Relay()
    players = [Player(451, "alice"), Player(452, "bob")]
    try:
        play(players, 10, lambda: all(p.connected() for p in players),
             every=lambda: [p.move(1.0) for p in players])
        late = Player(453, "carol")
        players.append(late)
        play(players, 10, lambda: late.of(JOINED, 451) and late.of(JOINED, 452),
             every=lambda: [p.move(1.0) for p in players[:2]])
        told = {e[1]: e[2] for e in late.of(JOINED) if e[1] != 453}
        print(f"names: the late joiner was told {told}")
        if told != {451: "alice", 452: "bob"}:
            failures.append(f"names: the late joiner was told {told}")
    finally:
        for player in players:
            player.close()
        relay.close()


def forged(server, failures):
    relay = Relay()
    settings = dict(timeout_ms=2000, keepalive_ms=500)
    players = [Player(461, "a", **settings), Player(462, "b", **settings)]
    try:
        play(players, 10, lambda: all(p.connected() for p in players),
             every=lambda: [p.move(1.0) for p in players])
        play(players, 1, every=lambda: [p.move(1.0) for p in players])
        victim = relay.address_of(players[0].handle)
        with relay.lock:
            copies = [(data, victim) for (to, about, kind), data in relay.captured.items()
                      if to == victim and (about, kind) in ((461, UPDATE), (462, CONNECT))]
            relay.blocked.add(victim)
            relay.replaying = [0.0, copies]
        kicked = time.monotonic()
        lost = play(players, 6, lambda: players[0].of(LOST),
                    every=lambda: [p.move(1.0) for p in players])
        # While connected: once the connection is lost, the player table starts afresh and the
        # other player may rightly join again.
        events = players[0].events
        until = next((i for i, e in enumerate(events) if e[0] == LOST), len(events))
        churn = [e[0] for e in events[:until] if e[1] == 462 and e[0] in (LEFT, JOINED)]
        print(f"forged: {len(copies)} copies replayed; connection lost {lost} "
              f"({time.monotonic() - kicked:.1f} s after the kick), other player {churn}")
        if not lost:
            failures.append("forged: replayed copies of the own update hid the kick")
        if churn[1:]:
            failures.append(f"forged: a re-announcement made the other player {churn}")
    finally:
        for player in players:
            player.close()
        relay.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True, type=os.path.abspath)
    parser.add_argument("--library", required=True)
    parser.add_argument("--only")
    args = parser.parse_args()
    load(args.library)
    server, failures = Server(args.server), []
    server.start()
    try:
        for check in (reorder, outage, keepalive, text, stale, names, forged):
            if args.only in (None, check.__name__):
                check(server, failures)
    finally:
        server.stop()
    for failure in failures:
        print(f"relayed: FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
