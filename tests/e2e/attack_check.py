#!/usr/bin/env python3
"""Hostile traffic against the real server, in network namespaces of the leg's own.

Run by scripts/test-attack.sh, which builds this network anew for every scenario:

    a         198.51.100.2 --+           +-- 203.0.113.2  b
                             +-- hub ----+
    attacker  10.0.1.2 ------+           +-- 10.0.2.2     echo

The hub routes between them and drops whatever is sent to 10.0.128.0/17, the addresses the
connect flood forges. The attacker forges source addresses with a raw socket. `a` accepts
datagrams that claim its own address (accept_local): Linux drops those by default, but a server
behind a forwarded port (a container) or on Windows receives them. Each scenario starts fresh
servers (UDP 15000, metrics on 127.0.0.1:15100 of their namespace):

  two-server-loop  one Connect forged from b:15000 registers server b with server a, one position
                   update follows: the servers must not relay it back and forth for ever;
  self-loop        one Connect forged from a's own address and port, then one update;
  echo             an echo service on port 7 and on port 40007, each registered by a forged
                   Connect, then one update: the bouncing must stop within a second (the low
                   port is refused; echoes of the server's own packets are dropped and counted);
  oversized        datagrams of 1401, 1500 and 65507 bytes are counted as too large, not as
                   receive errors, and the server goes on serving;
  scrape-flood     /metrics scraped as fast as several processes can, over more connections than
                   the endpoint keeps open, while players play: no relay lost, an operator's
                   scrape every half second still answered, the absolute-form request answered,
                   the endpoint's thread below the receive thread's priority; relay latency and
                   CPU with and without the flood are reported;
  pid1             SIGTERM and SIGINT drain the server and end it with exit code 0 once its
                   player has left, also as PID 1 of a PID namespace (as in a container).

The address-proof scenarios are tables of rows; each row prints its figures and HOLDS or FAILS
(--expect-faults: a server that believes every source must fail each, so the rows are shown to
catch what they are about):

  victim           a victim (an address that never sends) named as the source of forged
                   Connects, under one id and under 63: it receives at most 3x the forged bytes,
                   and nothing of a real player's relays after;
  connect-flood    100,000 Connects from random forged sources beside 8 loadgen players at 30 Hz:
                   the server's memory stays flat, a real player joins with one Connect and one
                   update in the middle of it, and the players lose no relay;
  cap              64 forged Connects at --max-players 64: a real player still joins, and a
                   restart with --state-dir restores no forged player;
  ids              a Disconnect, and a position update, with a player's id from another address:
                   the player keeps receiving, the update is not relayed; updates with made-up ids
                   from an address that never connected are not relayed;
  two-servers      servers on ports 15000 and 15001, their message counters 100,000 apart, one
                   forged Connect each way (one id, then two), then one update: the servers
                   exchange at most 3 datagrams a forged one, and nothing after;
  idle             a player that stops without a Disconnect is forgotten after --idle-timeout 2
                   and sent nothing after;
  bad-checksum     badly checksummed updates from an unregistered address at 1,024 registered
                   players (restored from a players file) cost the server's CPU what they cost
                   with none: no relay copies are prepared for them (the CPU figures are printed,
                   only their ratio is checked);
  players-file     a FIFO, a link to /dev/zero, port 7, the server's own port as the players file:
                   the server serves at once with an error line and no players;
  trust-sources    with --trust-sources a forged Connect registers its source at once.

Rates, counts and latencies are printed; only counts are checked, speeds never (bad-checksum's
ratio of two CPU figures aside, which a busy machine moves by far less than relay copies do).
"""

import argparse
import errno
import ipaddress
import json
import multiprocessing
import os
import random
import selectors
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import server_harness as harness
import velantis_protocol as vp
from checks import Failures

A_ADDRESS = "198.51.100.2"
B_ADDRESS = "203.0.113.2"
ECHO_ADDRESS = "10.0.2.2"
# Routed into the hub's blackhole, so what the server sends to these goes nowhere.
FORGED_SOURCES = ipaddress.ip_network("10.0.128.0/17")
PORT = vp.SERVER_PORT
METRICS_PORT = 15100

SENT = "velantis_packets_sent_total"
PLAYERS = "velantis_registered_players"
CONNECTS = 'velantis_messages_received_total{type="connect"}'
DISCONNECTS = 'velantis_messages_received_total{type="disconnect"}'
UPDATES = 'velantis_messages_received_total{type="position_update"}'
SOCKET_DROPS = "velantis_socket_drops_total"


def refused(reason):
    return f'velantis_connects_refused_total{{reason="{reason}"}}'


def received(outcome):
    return f'velantis_datagrams_received_total{{outcome="{outcome}"}}'


PLAYER_ID = 1
FORGED_ID = 666
# A second after the last datagram of the attack, a server with nobody moving sends nothing; a
# handful a second leaves room for stragglers only, a loop sends thousands.
SETTLE_SECONDS = 1.0
WINDOW_SECONDS = 1.0
QUIET_RATE = 5.0
ECHO_PORTS = (7, 40007)
ECHO_LIMIT = 300_000
# The player cap of the cap row: the forged Connects that would fill it are few.
CAP = 64
# A flood from this many sources keeps no state per source in a server that holds, so its
# memory is flat; the ids repeat, so that sealing the packets takes a moment only.
FLOOD_CONNECTS = 100_000
FLOOD_IDS = 4096
FLOOD_RATE = 6000
FLOOD_FIRST_ID = 1_000_000_000
FLOOD_RECEIVE_BUFFER = 4 << 20
RSS_GROWTH_LIMIT = 1 << 20
# What a forged source may be sent, as a multiple of what was forged in its name (QUIC's rule).
AMPLIFICATION = 3
VICTIM_PORT = 40000
VICTIM_CONNECTS = 10
VICTIM_IDS = 63
VICTIM_UPDATES = 5
OTHER_ID = 2
UNCONNECTED_FIRST_ID = 4242
UNCONNECTED_UPDATES = 10
B_PORT = 15001
COUNTER_GAP = 100_000
DRIVE_PLAYERS = 25
DRIVE_FIRST_ID = 100
DRIVE_BATCH = 40
IDLE_TIMEOUT = 2
JUNK_PLAYERS = 1024
JUNK_DATAGRAMS = 3000
JUNK_BATCH = 40
# Relay copies prepared for 1,024 players cost over ten times what a bare checksum does; a server
# that prepares none costs about the same with and without players.
JUNK_RATIO_LIMIT = 4.0
PLAYERS_FILE_HEADER = "velantis-server players 1"
# A server reading the players file without end stops at the first; a server's own start-up
# peaks at a few MiB.
MEMORY_LIMIT = 512 << 20
PEAK_RSS_LIMIT = 64 << 20
# Deadlines for events, ten times what they take on a busy machine; never windows to sit out.
RECEIVE_SECONDS = 10.0
COUNTER_SECONDS = 20.0
START_SECONDS = 10.0
SETTLE_DEADLINE = 15.0
QUIET_SECONDS = 1.0
LINGER_SECONDS = 0.3
LOAD_PLAYERS = 8
LOAD_RATE = 30
OVERSIZED = (1401, 1500, 65507)
OVERSIZED_REPEATS = 3
# Together more connections than the endpoint keeps open (64), as a flood that does not wait
# for its answers has.
SCRAPERS = 3
SCRAPE_CONNECTIONS = 32
SCRAPE_INTERVAL = 0.5
PROMETHEUS_TIMEOUT = 10.0
SCRAPE_LOAD_SECONDS = 4
STOP_GUARD_SECONDS = 5.0


class Run:
    """What one scenario starts, stopped when it ends; servers are watched until then."""

    def __init__(self, args, failures, workdir, namespaces):
        self.args = args
        self.failures = failures
        self.workdir = workdir
        self.ns = namespaces
        self.cleanups = []
        self.watched = []
        self.forger = Forger(namespaces["attacker"])
        self.cleanups.append(self.forger.close)

    def close(self):
        for name, server in self.watched:
            if server.process is not None and server.process.poll() is not None:
                self.failures.check(False, f"server {name} exited with "
                                    f"{server.process.returncode} during the scenario")
        for cleanup in reversed(self.cleanups):
            cleanup()

    def check(self, condition, message):
        return self.failures.check(condition, message)

    def server(self, role, options=(), watch=True, start_seconds=15.0, memory_limit=None):
        """A server in `role`'s namespace, serving /metrics; with `memory_limit`, it gets no more
        address space than that many bytes (a server that reads without end fails soon)."""
        server = harness.ServerProcess(tempfile.mkdtemp(dir=self.workdir))
        self.cleanups.append(server.kill)
        program = self.args.server
        if memory_limit:
            program = os.path.join(server.workdir, "limited-server")
            with open(program, "w") as wrapper:
                wrapper.write(f"#!/bin/sh\nexec prlimit --as={memory_limit} -- "
                              f"{shlex.quote(self.args.server)} \"$@\"\n")
            os.chmod(program, 0o755)
        os.environ["VELANTIS_SERVER"] = program
        try:
            with harness.netns(self.ns[role]):
                server.start(timeout=start_seconds,
                             options=(f"--metrics=127.0.0.1:{METRICS_PORT}", *options))
            wait_until(lambda: metrics(self.ns[role]), 10, f"server {role} serves no /metrics")
        except AssertionError:
            # A server that never became ready holds the ports that the next one needs.
            server.kill()
            raise
        finally:
            os.environ["VELANTIS_SERVER"] = self.args.server
        if watch:
            self.watched.append((role, server))
        return server

    def stop(self, server):
        self.watched = [(name, s) for name, s in self.watched if s is not server]
        server.kill()

    def player(self, role, server_address=harness.SERVER_ADDRESS, receive_buffer=1 << 20):
        """A game client's socket in `role`'s namespace."""
        with harness.netns(self.ns[role]):
            client = harness.Client(receive_buffer=receive_buffer, server_address=server_address)
        self.cleanups.append(client.close)
        return client

    def supports(self, option):
        """Whether the server under test has `option` (a server from before it has not)."""
        if not hasattr(self, "help_text"):
            self.help_text = subprocess.run([self.args.server, "--help"], capture_output=True,
                                            text=True, timeout=10).stdout
        return option in self.help_text

    def loadgen(self, role, server, seconds):
        """velantis-loadgen in `role`'s namespace, on its loopback; returns the process."""
        command = [self.args.loadgen, "--players", str(LOAD_PLAYERS), "--rate", str(LOAD_RATE),
                   "--duration", str(seconds), "--server-pid", str(server.pid), "--json",
                   "--no-progress"]
        with harness.netns(self.ns[role]):
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True)
        self.cleanups.append(lambda: stop(process))
        return process

    def loadgen_report(self, process, seconds):
        out, err = process.communicate(timeout=seconds + 30)
        self.check(process.returncode == 0,
                   f"velantis-loadgen exited with {process.returncode}: {err.strip()[-500:]}")
        try:
            return json.loads(out)["run"]
        except (ValueError, KeyError):
            self.check(False, f"velantis-loadgen printed no report: {out.strip()[-500:]}")
            return None


class Forger:
    """Sends UDP datagrams with any source address, from the attacker's namespace."""

    def __init__(self, namespace):
        with harness.netns(namespace):
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)

    def close(self):
        self.sock.close()

    def send(self, source, destination, payload):
        # The kernel fills in the IP header's length, identification and checksum; a UDP
        # checksum of 0 means none.
        udp = struct.pack("!HHHH", source[1], destination[1], 8 + len(payload), 0)
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 0, 0, 0, 64, socket.IPPROTO_UDP, 0,
                         socket.inet_aton(source[0]), socket.inet_aton(destination[0]))
        self.sock.sendto(ip + udp + payload, (destination[0], 0))


class EchoService:
    """The old UDP echo service: every datagram goes back where it came from. It stops by itself
    after ECHO_LIMIT datagrams."""

    def __init__(self, namespace, address, ports):
        self.sockets = {}
        with harness.netns(namespace):
            for port in ports:
                sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                sock.bind((address, port))
                sock.settimeout(0.05)
                self.sockets[port] = sock
        self.counts = dict.fromkeys(ports, 0)
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._serve, args=(port,), daemon=True)
                        for port in ports]
        for thread in self.threads:
            thread.start()

    def _serve(self, port):
        sock = self.sockets[port]
        while not self.stopping.is_set() and sum(self.counts.values()) < ECHO_LIMIT:
            try:
                data, source = sock.recvfrom(65536)
                self.counts[port] += 1
                sock.sendto(data, source)
            except socket.timeout:
                pass
            except OSError:
                pass  # an ICMP error for an earlier echo

    def reset(self):
        for port in self.counts:
            self.counts[port] = 0

    def close(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join(timeout=5)
        for sock in self.sockets.values():
            sock.close()


def stop(process):
    if process.poll() is None:
        process.kill()
        process.wait(timeout=10)


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        try:
            if condition():
                return
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} within {seconds} s")
        time.sleep(0.05)


def settle_until(condition, seconds=60):
    """Waits until the condition holds or the time is up, whichever comes first; the check after
    it says what did not hold."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not condition():
        time.sleep(0.05)


def connects_counted(namespace, connects):
    """Waits until the server of the namespace has counted that many Connects."""
    wait_until(lambda: metrics(namespace).get(CONNECTS, 0) >= connects, 60,
               f"{connects} Connects not counted")


def metrics(namespace):
    with harness.netns(namespace):
        url = f"http://127.0.0.1:{METRICS_PORT}/metrics"
        with urllib.request.urlopen(url, timeout=5) as response:
            return harness.metric_samples(response.read().decode())


def send_rates(namespaces):
    """Packets sent a second by the server of each namespace over WINDOW_SECONDS."""
    before = {ns: metrics(ns)[SENT] for ns in namespaces}
    begin = time.monotonic()
    time.sleep(WINDOW_SECONDS)
    after = {ns: metrics(ns)[SENT] for ns in namespaces}
    elapsed = time.monotonic() - begin
    return {ns: (after[ns] - before[ns]) / elapsed for ns in namespaces}


def connect_packet(client_id, text=b"forged"):
    return vp.Packet(client_id=client_id, message_type=vp.CONNECT, text=text).encode()


def join(client, client_id):
    """Connects a real player and proves its address: its announcement and Welcome must arrive,
    then the relay of its first update, which carries the Welcome's entity id. Returns that id."""
    client.send_packet(client_id, vp.CONNECT, b"player")
    own, welcome = client.receive_packet(RECEIVE_SECONDS), client.receive_packet(RECEIVE_SECONDS)
    if (own.message_type, own.player_uuid, welcome.message_type) != \
            (vp.CONNECT, client_id, vp.WELCOME):
        raise AssertionError(f"player {client_id} joined with {own} and {welcome}")
    move(client, client_id, welcome.entity_id)
    return welcome.entity_id


def move(client, client_id, entity, text=b"move"):
    """One position update; its relay must come back to the player (after what was pending)."""
    client.pending()
    client.send_packet(client_id, vp.PLAYER_POSITION_UPDATE, text, x=1.5, y=-2.0,
                       entity_id=entity)
    for _ in range(100):
        relay = client.receive_packet(RECEIVE_SECONDS)
        if (relay.message_type, relay.client_id, relay.text) == \
                (vp.PLAYER_POSITION_UPDATE, client_id, text):
            return
    raise AssertionError(f"player {client_id} got no relay of its update")


def count(values, key):
    """A sample's value for a message; a missing sample says so."""
    return f"{values[key]:g}" if key in values else "(no sample)"


def loop_checks(run, rates, names):
    for ns, rate in rates.items():
        run.check(rate <= QUIET_RATE,
                  f"server {names[ns]} still sends {rate:.0f} packets/s from "
                  f"{SETTLE_SECONDS:g} s after the one update (at most {QUIET_RATE:g} expected)")


def report(scenario, text):
    print(f"attack_check: {scenario}: {text}", flush=True)


def two_server_loop(run):
    ns_a, ns_b = run.ns["a"], run.ns["b"]
    run.server("a")
    run.server("b")
    player = forged_connect_then_move(run, (B_ADDRESS, PORT))
    player.pending()
    rates = send_rates([ns_a, ns_b])
    relays = len(player.pending())
    a, b = metrics(ns_a), metrics(ns_b)
    report("two-server-loop", f"a sends {rates[ns_a]:.0f} packets/s, b {rates[ns_b]:.0f} "
           f"packets/s, the player received {relays} datagrams in the {WINDOW_SECONDS:g} s "
           f"window; a refused {count(a, refused('reserved_port'))} Connects for a reserved "
           f"port, b registered {b[PLAYERS]:.0f} players")
    loop_checks(run, rates, {ns_a: "a", ns_b: "b"})
    run.check(b[PLAYERS] == 0, f"server b registered {b[PLAYERS]:.0f} players: a's announcement "
              "of the forged player reached b as a Connect")
    forged_connect_refused(run, a, "the one from b:15000")


def forged_connect_then_move(run, source):
    """A player of server a joins; a Connect forged from `source` reaches a; the player moves."""
    player = run.player("a")
    entity = join(player, PLAYER_ID)
    run.forger.send(source, (A_ADDRESS, PORT), connect_packet(FORGED_ID))
    connects_counted(run.ns["a"], 2)
    move(player, PLAYER_ID, entity)
    time.sleep(SETTLE_SECONDS)
    return player


def forged_connect_refused(run, a, which):
    run.check(a.get(refused("reserved_port")) == 1,
              f"a counted {count(a, refused('reserved_port'))} Connects refused for a reserved "
              f"port, expected 1 ({which})")
    run.check(a[PLAYERS] == 1, f"a has {a[PLAYERS]:.0f} players registered, expected the player")


def self_loop(run):
    ns_a = run.ns["a"]
    run.server("a")
    forged_connect_then_move(run, (A_ADDRESS, PORT))
    rates = send_rates([ns_a])
    a = metrics(ns_a)
    report("self-loop", f"a sends {rates[ns_a]:.0f} packets/s; refused "
           f"{count(a, refused('reserved_port'))} Connects for a reserved port; "
           f"{a[PLAYERS]:.0f} players registered")
    loop_checks(run, rates, {ns_a: "a"})
    forged_connect_refused(run, a, "its own address and port")


def echo(run):
    ns_a = run.ns["a"]
    service = EchoService(run.ns["echo"], ECHO_ADDRESS, ECHO_PORTS)
    run.cleanups.append(service.close)
    for port in ECHO_PORTS:
        service.reset()
        server = run.server("a")
        player = run.player("a")
        entity = join(player, PLAYER_ID)
        run.forger.send((ECHO_ADDRESS, port), (A_ADDRESS, PORT), connect_packet(FORGED_ID))
        connects_counted(ns_a, 2)
        move(player, PLAYER_ID, entity)
        time.sleep(SETTLE_SECONDS)
        # The answer to the Connect (announcement, Welcome), each coming back once; a server
        # that believes sources registers the service and relays the update to it as well.
        expected = 3 if run.args.expect_faults else 2
        if port >= 1024:
            settle_until(lambda: service.counts[port] >= expected and
                         metrics(ns_a).get(received("echoed"), 0) >= expected)
        rates = send_rates([ns_a])
        a = metrics(ns_a)
        bounced = service.counts[port]
        report("echo", f"port {port}: a sends {rates[ns_a]:.0f} packets/s; the echo service "
               f"bounced {bounced} datagrams; a counted {count(a, received('echoed'))} echoes and "
               f"refused {count(a, refused('reserved_port'))} Connects for a reserved port")
        loop_checks(run, rates, {ns_a: f"a (echo on port {port})"})
        if port < 1024:
            run.check(bounced == 0, f"echo port {port}: the server sent {bounced} datagrams to "
                      "a port below 1024")
            run.check(a.get(refused("reserved_port")) == 1,
                      f"echo port {port}: {count(a, refused('reserved_port'))} Connects refused "
                      "for a reserved port, expected 1")
        else:
            run.check(bounced == expected, f"echo port {port}: the echo service got {bounced} "
                      f"datagrams from the server, expected {expected}")
            run.check(a.get(received("echoed")) == bounced,
                      f"echo port {port}: the server counted {count(a, received('echoed'))} "
                      f"echoes of the {bounced} the service sent back")
        run.stop(server)
        player.close()


class Row:
    """One row of the address-proof table. Its figures are printed as they come; it holds when
    none of its expectations failed, and a stop (a timeout, a socket error) fails it too. Against
    a server from before address proof (--expect-faults) every row must fail, except those
    marked as holding there."""

    def __init__(self, run, name, holds_before=False):
        self.run = run
        self.name = name
        self.holds_before = holds_before
        self.faults = []

    def figure(self, text):
        report(self.name, text)

    def expect(self, condition, text):
        if not condition:
            self.faults.append(text)
        return condition

    def __enter__(self):
        return self

    def __exit__(self, kind, error, _):
        if kind is not None and not issubclass(kind, (AssertionError, OSError)):
            return False
        if kind is not None:
            self.faults.append(f"stopped: {error}")
        holds = not self.faults
        report(self.name, "HOLDS" if holds else "FAILS: " + "; ".join(self.faults))
        if self.run.args.expect_faults and not self.holds_before:
            self.run.check(not holds, f"{self.name}: holds on a server expected to fail it")
        else:
            self.run.check(holds, f"{self.name}: {'; '.join(self.faults)}")
        return True


class Victim:
    """An address that never sends: it only counts what reaches it."""

    def __init__(self, run, namespace, address):
        with harness.netns(namespace):
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            self.sock.bind(address)
        run.cleanups.append(self.sock.close)
        self.address = address

    def receive(self, datagrams):
        """The bytes of the next `datagrams` datagrams; fails after RECEIVE_SECONDS."""
        self.sock.settimeout(RECEIVE_SECONDS)
        try:
            return sum(len(self.sock.recv(65536)) for _ in range(datagrams))
        except socket.timeout:
            raise AssertionError(f"{self.address[0]}:{self.address[1]} received less than "
                                 f"{datagrams} datagrams in {RECEIVE_SECONDS} s")

    def drain(self, linger):
        """The bytes that arrived, waiting up to `linger` seconds after the last for more."""
        self.sock.settimeout(linger)
        got = 0
        try:
            while True:
                got += len(self.sock.recv(65536))
        except (socket.timeout, BlockingIOError):
            return got


def extra_counters(values):
    """The samples of the counters that address proof brought, by their names' words."""
    words = ("admitted", "timed_out", "dropped", "announcement", "rate_limited")
    return ", ".join(f"{key} {value:g}" for key, value in sorted(values.items())
                     if key.startswith("velantis_") and any(w in key for w in words)) or "none"


def received_total(values):
    """Every datagram the server read, whatever its outcome."""
    return sum(value for key, value in values.items()
               if key.startswith("velantis_datagrams_received_total{"))


def forged_host(index):
    return str(FORGED_SOURCES.network_address + 1 + index % (FORGED_SOURCES.num_addresses - 2))


def wait_for_count(namespace, key, target, what):
    wait_until(lambda: metrics(namespace).get(key, 0) >= target, COUNTER_SECONDS, what)


def victim(run):
    ns_a = run.ns["a"]
    rows = (("victim-one-id", [FORGED_ID] * VICTIM_CONNECTS),
            ("victim-many-ids", list(range(FORGED_ID, FORGED_ID + VICTIM_IDS))))
    for number, (name, ids) in enumerate(rows):
        with Row(run, name) as row:
            server = run.server("a")
            target = Victim(run, run.ns["echo"], (ECHO_ADDRESS, VICTIM_PORT + number))
            source = target.address
            forged = 0
            for client_id in ids:
                payload = connect_packet(client_id)
                run.forger.send(source, (A_ADDRESS, PORT), payload)
                forged += len(payload)
            wait_for_count(ns_a, CONNECTS, len(ids), "the forged Connects not all read")
            # A player beside the victim, behind the same hub: when its own relays are back,
            # what the server sent the victim before them has arrived too.
            player = run.player("echo", server_address=(A_ADDRESS, PORT))
            entity = join(player, PLAYER_ID)
            answered = target.drain(LINGER_SECONDS)
            for _ in range(VICTIM_UPDATES):
                move(player, PLAYER_ID, entity)
            after = target.drain(LINGER_SECONDS)
            values = metrics(ns_a)
            total = answered + after
            row.figure(f"{len(ids)} forged Connects ({forged} bytes, {len(set(ids))} id(s)) from "
                       f"{source[0]}:{source[1]}: the victim received {total} bytes "
                       f"({total / forged:.2f}x), {after} of them while a real player moved "
                       f"{VICTIM_UPDATES} times; players registered {values[PLAYERS]:g}; "
                       f"{extra_counters(values)}")
            row.expect(total <= AMPLIFICATION * forged,
                       f"the victim received {total / forged:.2f}x the forged bytes")
            row.expect(after == 0, f"the victim received {after} bytes of the player's relays")
        run.stop(server)


def connect_flood(run):
    ns_a = run.ns["a"]
    with Row(run, "connect-flood") as row:
        packets = [connect_packet(FLOOD_FIRST_ID + i) for i in range(FLOOD_IDS)]
        choose = random.Random(FLOOD_CONNECTS)
        server = run.server("a", ("--receive-buffer", str(FLOOD_RECEIVE_BUFFER)))
        seconds = int(FLOOD_CONNECTS / FLOOD_RATE) + 6
        loadgen = run.loadgen("a", server, seconds)
        wait_until(lambda: metrics(ns_a)[PLAYERS] == LOAD_PLAYERS, 20, "loadgen's players not in")
        before = metrics(ns_a)
        rss = {"at the start": server.rss_bytes()}
        joined = "no attempt"
        # Evenly paced, at a rate the server keeps up with: what matters is the state a flood
        # leaves behind, not how much a burst overflows the socket by.
        begin = next_send = time.monotonic()
        for i in range(FLOOD_CONNECTS):
            source = (forged_host(choose.randrange(1 << 20)), choose.randrange(1024, 65536))
            run.forger.send(source, (A_ADDRESS, PORT), packets[i % FLOOD_IDS])
            if i % 10 == 9:
                next_send += 10 / FLOOD_RATE
                delay = next_send - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                else:
                    next_send = time.monotonic()
            if i + 1 == FLOOD_CONNECTS // 10:
                rss["after 10%"] = server.rss_bytes()
            if i + 1 == FLOOD_CONNECTS // 2:
                # A new player in the middle of the flood: one Connect, one update, no retry.
                started = time.monotonic()
                try:
                    join(run.player("a"), PLAYER_ID)
                    joined = f"in {1000 * (time.monotonic() - started):.1f} ms"
                except AssertionError as failure:
                    joined = f"not: {failure}"
                next_send = time.monotonic()
        flood_seconds = time.monotonic() - begin
        try:
            wait_until(lambda: metrics(ns_a)[CONNECTS] - before[CONNECTS] +
                       metrics(ns_a).get(SOCKET_DROPS, 0) - before.get(SOCKET_DROPS, 0)
                       >= FLOOD_CONNECTS, 30, "the flood not all read")
        except AssertionError as failure:
            row.expect(False, str(failure))
        rss["at the end"] = server.rss_bytes()
        result = run.loadgen_report(loadgen, seconds)
        after = metrics(ns_a)
        row.figure(f"{FLOOD_CONNECTS} forged Connects from random sources ({FLOOD_IDS} ids) in "
                   f"{flood_seconds:.1f} s; players registered {after[PLAYERS]:g}; server RSS "
                   + ", ".join(f"{k} {v / 1024:.0f} KiB" for k, v in rss.items())
                   + f"; a real player joined {joined}; refused as full "
                   f"{count(after, refused('full'))}; {extra_counters(after)}")
        growth = rss["at the end"] - rss["after 10%"]
        row.expect(growth <= RSS_GROWTH_LIMIT, f"the server's memory grew by {growth >> 10} KiB "
                   "over the last 90% of the flood")
        row.expect(joined.startswith("in "), f"the real player joined {joined}")
        if result:
            # What loadgen's own sockets dropped is the machine's loss (loadgen was not run in
            # time); the rest the server did not send, or sent too late to be read.
            machine = result["loadgenSocketDrops"] or 0
            server_drops = after.get(SOCKET_DROPS, 0) - before.get(SOCKET_DROPS, 0)
            product = result["lost"] - machine
            row.figure(f"loadgen {LOAD_PLAYERS} players x {LOAD_RATE} Hz: "
                       f"{result['received']}/{result['expected']} relays, lost {result['lost']} "
                       f"({machine} dropped at loadgen's own sockets, the machine's share); "
                       f"{server_drops:g} datagrams dropped at the server's socket, send failures "
                       f"{count(after, 'velantis_send_failures_total')}; relay latency p99 "
                       f"{result['latencyP99Ms']} ms max {result['latencyMaxMs']} ms")
            row.expect(product <= 0, f"the players lost {product} relays beyond what loadgen's "
                       "own sockets dropped")
        else:
            row.expect(False, "loadgen reported nothing")


def cap(run):
    ns_a = run.ns["a"]
    state = tempfile.mkdtemp(dir=run.workdir)
    players_file = os.path.join(state, "players")
    options = ("--max-players", str(CAP), f"--state-dir={state}")
    if "--drain-timeout" in subprocess.run([run.args.server, "--help"], capture_output=True,
                                           text=True).stdout:
        # The real player is to be saved registered: its server stops at once, without a drain.
        options += ("--drain-timeout=0",)
    with Row(run, "cap") as row:
        server = run.server("a", options)
        for i in range(CAP):
            run.forger.send((forged_host(i), 20000 + i), (A_ADDRESS, PORT),
                            connect_packet(FLOOD_FIRST_ID + i))
        wait_for_count(ns_a, CONNECTS, CAP, "the forged Connects not all read")
        try:
            join(run.player("a"), PLAYER_ID)
            joined = "joined"
        except AssertionError as failure:
            joined = f"did not join: {failure}"
        registered = metrics(ns_a)[PLAYERS]
        server.process.send_signal(signal.SIGTERM)
        server.process.wait(timeout=STOP_GUARD_SECONDS)
        run.stop(server)
        with open(players_file) as saved:
            lines = saved.read().splitlines()[1:-1]
        saved_forged = [line for line in lines
                        if ipaddress.ip_address(line.split()[1].split(":")[0]) in FORGED_SOURCES]
        run.server("a", options)
        restored = metrics(ns_a)[PLAYERS]
        row.figure(f"{CAP} forged Connects at --max-players {CAP}: players registered "
                   f"{registered:g}, the real player {joined}; saved {len(lines)} players, "
                   f"{len(saved_forged)} of them forged; {restored:g} restored")
        row.expect(joined == "joined", f"the real player {joined}")
        row.expect(not saved_forged, f"{len(saved_forged)} forged players saved")
        row.expect(restored <= 1, f"{restored:g} players restored, the real player at most")


def until_marker_of(client, client_id):
    """The packets that reach `client` before the relay of `client_id`'s marker update."""
    seen = []
    while True:
        packet = client.receive_packet(RECEIVE_SECONDS)
        if (packet.client_id, packet.text) == (client_id, b"marker"):
            return seen
        seen.append(packet)


def until_marker(client, client_id, entity):
    """The packets that reach `client` before the relay of its own marker update: the server
    handles datagrams in order, so what an earlier datagram made it send has come by then."""
    client.send_packet(client_id, vp.PLAYER_POSITION_UPDATE, b"marker", entity_id=entity)
    return until_marker_of(client, client_id)


def ids(run):
    ns_a = run.ns["a"]
    run.server("a")
    owner, other = run.player("a"), run.player("a")
    owner_entity = join(owner, PLAYER_ID)
    other_entity = join(other, OTHER_ID)
    elsewhere = (forged_host(7), 30000)
    with Row(run, "disconnect-from-another-address") as row:
        target = metrics(ns_a)[DISCONNECTS] + 1
        run.forger.send(elsewhere, (A_ADDRESS, PORT),
                        vp.Packet(client_id=PLAYER_ID, message_type=vp.DISCONNECT).encode())
        wait_for_count(ns_a, DISCONNECTS, target, "the forged Disconnect not read")
        until_marker(other, OTHER_ID, other_entity)
        try:
            until_marker_of(owner, OTHER_ID)
            kept = True
        except AssertionError:
            kept = False
        values = metrics(ns_a)
        row.figure(f"a Disconnect with player {PLAYER_ID}'s id from {elsewhere[0]}:{elsewhere[1]}:"
                   f" the player {'still receives' if kept else 'no longer receives'} the "
                   f"others' relays; players registered {values[PLAYERS]:g}; "
                   f"{extra_counters(values)}")
        row.expect(kept, f"player {PLAYER_ID} was forgotten")
    for name, sender, client_ids, entity in (
            ("update-from-another-address", elsewhere, [PLAYER_ID], owner_entity),
            ("updates-from-an-unconnected-address", (forged_host(8), 30001),
             list(range(UNCONNECTED_FIRST_ID, UNCONNECTED_FIRST_ID + UNCONNECTED_UPDATES)), 0)):
        with Row(run, name) as row:
            target = metrics(ns_a)[UPDATES] + len(client_ids)
            for client_id in client_ids:
                run.forger.send(sender, (A_ADDRESS, PORT), vp.Packet(
                    client_id=client_id, message_type=vp.PLAYER_POSITION_UPDATE, text=b"forged",
                    entity_id=entity).encode())
            wait_for_count(ns_a, UPDATES, target, "the forged updates not read")
            relayed = [p for p in until_marker(other, OTHER_ID, other_entity)
                       if p.text == b"forged"]
            values = metrics(ns_a)
            row.figure(f"{len(client_ids)} update(s) with id(s) {client_ids[0]}.."
                       f"{client_ids[-1]} from {sender[0]}:{sender[1]}: {len(relayed)} relayed to "
                       f"another player; {extra_counters(values)}")
            row.expect(not relayed, f"{len(relayed)} forged updates relayed")


def exchanged(ns_b, forged_into_b):
    """(datagrams a sent b, datagrams b sent a): b has no players, so all it reads but the
    forged datagrams comes from a, and all it sends goes to a (or to forged sources)."""
    values = metrics(ns_b)
    return received_total(values) - forged_into_b, values[SENT]


def settle(ns_b, forged_into_b):
    """The exchange between the servers once it has been still for QUIET_SECONDS, or None with
    the last figures when it never is within SETTLE_DEADLINE."""
    deadline = time.monotonic() + SETTLE_DEADLINE
    last, still_since = exchanged(ns_b, forged_into_b), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = exchanged(ns_b, forged_into_b)
        if now != last:
            last, still_since = now, time.monotonic()
        elif time.monotonic() - still_since >= QUIET_SECONDS:
            return True, last
    return False, last


def drive_apart(run):
    """Servers a (port 15000) and b (B_PORT), a's message counter driven COUNTER_GAP ahead of
    b's by updates of DRIVE_PLAYERS players, in batches the server's socket holds: past the reach
    of the filter of the server's own echoes. Returns the gap."""
    ns_a, ns_b = run.ns["a"], run.ns["b"]
    run.server("a")
    run.server("b", ("--port", str(B_PORT)))
    drivers = [run.player("a", receive_buffer=1 << 16) for _ in range(DRIVE_PLAYERS)]
    updates = []
    for number, driver in enumerate(drivers):
        client_id = DRIVE_FIRST_ID + number
        entity = join(driver, client_id)
        updates.append(vp.Packet(client_id=client_id, message_type=vp.PLAYER_POSITION_UPDATE,
                                 text=b"drive", entity_id=entity).encode())
    sent = metrics(ns_a)[UPDATES]
    while metrics(ns_a)[SENT] < COUNTER_GAP + DRIVE_PLAYERS ** 2:
        for k in range(DRIVE_BATCH):
            drivers[k % DRIVE_PLAYERS].send(updates[k % DRIVE_PLAYERS])
        sent += DRIVE_BATCH
        wait_for_count(ns_a, UPDATES, sent, "the driving updates not read")
    for driver in drivers:
        driver.close()
    return metrics(ns_a)[SENT] - metrics(ns_b)[SENT]


def two_servers(run):
    ns_b = run.ns["b"]
    for name, forged_ids in (("two-servers-one-id", [FORGED_ID]),
                             ("two-servers-two-ids", [FORGED_ID + 1, FORGED_ID + 2])):
        with Row(run, name) as row:
            gap = drive_apart(run)
            player = run.player("a")
            entity = join(player, PLAYER_ID)
            _, start = settle(ns_b, 0)
            for client_id in forged_ids:
                run.forger.send((B_ADDRESS, B_PORT), (A_ADDRESS, PORT), connect_packet(client_id))
                run.forger.send((A_ADDRESS, PORT), (B_ADDRESS, B_PORT), connect_packet(client_id))
            forged = len(forged_ids)
            still, answered = settle(ns_b, forged)
            move(player, PLAYER_ID, entity)
            still_after, after = settle(ns_b, forged)
            a_to_b, b_to_a = (answered[i] - start[i] for i in (0, 1))
            more = sum(after) - sum(answered)
            row.figure(f"message counters {gap:g} apart; one forged Connect each way with "
                       f"{forged} id(s): a sent b {a_to_b:g} datagrams, b sent a {b_to_a:g}"
                       f"{'' if still else ' and still going'}; after one update "
                       f"{more:g} more{'' if still_after else ' and still going'}")
            row.expect(gap >= COUNTER_GAP, f"the counters are only {gap:g} apart")
            row.expect(still and still_after, "the servers never stopped exchanging")
            row.expect(max(a_to_b, b_to_a) <= AMPLIFICATION * forged,
                       f"{max(a_to_b, b_to_a):g} datagrams one way for {forged} forged")
            row.expect(more == 0, f"the update set off {more:g} datagrams between the servers")
        for _, server in list(run.watched):
            run.stop(server)


def idle(run):
    ns_a = run.ns["a"]
    with Row(run, "idle-timeout") as row:
        supported = row.expect(run.supports("--idle-timeout"), "no --idle-timeout option")
        run.server("a", ("--idle-timeout", str(IDLE_TIMEOUT)) if supported else ())
        ghost, mover = run.player("a"), run.player("a")
        join(ghost, PLAYER_ID)
        silent_since = time.monotonic()
        mover_entity = join(mover, OTHER_ID)
        forgotten = None
        # The other player plays on meanwhile, so the ghost has relays it would be sent.
        while time.monotonic() - silent_since < 10 * IDLE_TIMEOUT:
            move(mover, OTHER_ID, mover_entity)
            if metrics(ns_a)[PLAYERS] == 1:
                forgotten = time.monotonic() - silent_since
                break
            time.sleep(1 / LOAD_RATE)
        ghost.pending()
        for _ in range(VICTIM_UPDATES):
            move(mover, OTHER_ID, mover_entity)
        after = len(ghost.pending())
        values = metrics(ns_a)
        row.figure(f"--idle-timeout {IDLE_TIMEOUT}: a silent player "
                   + (f"forgotten {forgotten:.1f} s after its last packet" if forgotten else
                      f"still registered {10 * IDLE_TIMEOUT} s after its last packet")
                   + f"; {after} datagrams sent to it after; {extra_counters(values)}")
        row.expect(forgotten is not None, "the silent player was never forgotten")
        row.expect(forgotten is None or forgotten >= IDLE_TIMEOUT - 0.5,
                   f"the silent player was forgotten after {forgotten} s already")
        row.expect(after == 0, f"{after} datagrams sent to the forgotten player")


def players_file_text(entries):
    lines = [f"{client_id} {address}:{port}" for client_id, address, port in entries]
    return "\n".join([PLAYERS_FILE_HEADER, *lines, f"end {len(entries)}"]) + "\n"


def udp_queued(port):
    """Bytes waiting at the UDP socket bound to `port` in this namespace (/proc/net/udp)."""
    with open("/proc/net/udp") as table:
        for line in table.read().splitlines()[1:]:
            columns = line.split()
            if int(columns[1].rsplit(":", 1)[1], 16) == port:
                return int(columns[4].split(":")[1], 16)
    return 0


def receive_cpu(pid):
    return sum(cpu for cpu, _, _ in thread_figures(pid).values())


def bad_checksum(run):
    ns_a = run.ns["a"]
    with harness.netns(run.ns["attacker"]):
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    run.cleanups.append(sender.close)
    corrupt = bytearray(vp.Packet(client_id=1, message_type=vp.PLAYER_POSITION_UPDATE,
                                  text=b"junk").encode())
    corrupt[vp.CHECKSUM_OFFSET] ^= 0xFF
    with Row(run, "bad-checksum") as row:
        keep = ("--idle-timeout", "0") if run.supports("--idle-timeout") else ()
        costs = {}
        for players in (0, JUNK_PLAYERS):
            state = tempfile.mkdtemp(dir=run.workdir)
            if players:
                with open(os.path.join(state, "players"), "w") as saved:
                    saved.write(players_file_text([(1 + i, forged_host(i), 20000 + i)
                                                   for i in range(players)]))
            server = run.server("a", (f"--state-dir={state}", *keep))
            registered = metrics(ns_a)[PLAYERS]
            row.expect(registered == players, f"{registered:g} players restored of {players}")
            target = metrics(ns_a).get(received("bad_checksum"), 0)
            # Nothing scrapes the server meanwhile: its CPU is the datagrams'. The socket's
            # queue empties when the receive thread has read a batch.
            cpu = receive_cpu(server.pid)
            for _ in range(JUNK_DATAGRAMS // JUNK_BATCH):
                for _ in range(JUNK_BATCH):
                    sender.sendto(corrupt, (A_ADDRESS, PORT))
                with harness.netns(ns_a):
                    wait_until(lambda: udp_queued(PORT) == 0, COUNTER_SECONDS,
                               "the bad datagrams not read")
            wait_for_count(ns_a, received("bad_checksum"), target + JUNK_DATAGRAMS,
                           "the bad datagrams not all counted")
            costs[players] = (receive_cpu(server.pid) - cpu) / JUNK_DATAGRAMS / 1000
            run.stop(server)
        ratio = costs[JUNK_PLAYERS] / max(costs[0], 1e-3)
        row.figure(f"server CPU per badly checksummed update from an unregistered address: "
                   f"{costs[0]:.1f} us with no player, {costs[JUNK_PLAYERS]:.1f} us with "
                   f"{JUNK_PLAYERS} registered ({ratio:.1f}x)")
        row.expect(ratio <= JUNK_RATIO_LIMIT, f"{ratio:.1f}x the CPU with {JUNK_PLAYERS} players")


def players_file(run):
    ns_a = run.ns["a"]
    cases = (
        ("a FIFO", lambda path: os.mkfifo(path)),
        ("a link to /dev/zero", lambda path: os.symlink("/dev/zero", path)),
        ("port 7", lambda path: write_text(path, players_file_text([(5, ECHO_ADDRESS, 7)]))),
        ("the server's port", lambda path: write_text(
            path, players_file_text([(5, B_ADDRESS, PORT)]))),
    )
    for what, make in cases:
        with Row(run, "players-file: " + what) as row:
            state = tempfile.mkdtemp(dir=run.workdir)
            make(os.path.join(state, "players"))
            begin = time.monotonic()
            server = run.server("a", (f"--state-dir={state}",), start_seconds=START_SECONDS,
                                memory_limit=MEMORY_LIMIT)
            started = time.monotonic() - begin
            registered = metrics(ns_a)[PLAYERS]
            peak = server.peak_rss_bytes()
            errors = [line for line in server.stderr_lines() if "players" in line.lower()]
            player = run.player("a")
            player.send_packet(PLAYER_ID, vp.CONNECT, b"player")
            answers = [player.receive_packet(RECEIVE_SECONDS).message_type for _ in range(2)]
            row.figure(f"the players file is {what}: serving after {started:.2f} s, peak RSS "
                       f"{peak >> 10} KiB, players {registered:g}, a Connect answered with "
                       f"{answers}, error line {errors[0] if errors else None!r}")
            row.expect(registered == 0, f"{registered:g} players restored")
            row.expect(peak <= PEAK_RSS_LIMIT, f"the server's memory peaked at {peak >> 20} MiB")
            row.expect(errors, "no error line on standard error")
            row.expect(answers == [vp.CONNECT, vp.WELCOME], f"the Connect answered with {answers}")
            run.stop(server)


def write_text(path, text):
    with open(path, "w") as out:
        out.write(text)


def trust_sources(run):
    ns_a = run.ns["a"]
    with Row(run, "trust-sources", holds_before=True) as row:
        supported = run.supports("--trust-sources")
        if not run.args.expect_faults:
            row.expect(supported, "no --trust-sources option")
        run.server("a", ("--trust-sources",) if supported else ())
        target = Victim(run, run.ns["echo"], (ECHO_ADDRESS, VICTIM_PORT))
        run.forger.send(target.address, (A_ADDRESS, PORT), connect_packet(FORGED_ID))
        wait_until(lambda: metrics(ns_a)[PLAYERS] == 1, COUNTER_SECONDS,
                   "the forged Connect registered nobody")
        got = target.receive(2)
        row.figure(f"{'with --trust-sources' if supported else 'a server without the option'}"
                   f": one forged Connect registered its source at once; it received {got} bytes")
        row.expect(got == 2 * vp.PACKET_SIZE, f"the forged source received {got} bytes, expected "
                   "its announcement and Welcome")


def oversized(run):
    ns_a = run.ns["a"]
    server = run.server("a")
    with harness.netns(run.ns["attacker"]):
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    run.cleanups.append(sender.close)
    outcomes = ("too_large", "receive_error", "wrong_size")

    def counted():
        values = metrics(ns_a)
        return sum(values.get(received(outcome), 0) for outcome in outcomes)

    # One at a time: a few datagrams of 64 KiB fill the server socket's receive buffer, and what
    # the kernel drops for want of room never reaches the server.
    datagrams = len(OVERSIZED) * OVERSIZED_REPEATS
    try:
        for size in OVERSIZED * OVERSIZED_REPEATS + (vp.RECEIVE_BUFFER_SIZE,):
            target = counted() + 1
            sender.sendto(bytes(size), (A_ADDRESS, PORT))
            wait_until(lambda: counted() >= target, 30, f"a datagram of {size} bytes not counted")
    except AssertionError as failure:
        run.check(False, str(failure))
    with harness.netns(ns_a):
        drops = harness.udp_socket_drops(PORT)
    after = metrics(ns_a)
    error_line = f"error{errno.EMSGSIZE}"
    console = server.stdout_lines().count(error_line)
    report("oversized", f"{datagrams} datagrams of {'/'.join(map(str, OVERSIZED))} bytes and one "
           f"of {vp.RECEIVE_BUFFER_SIZE}: too_large {count(after, received('too_large'))}, "
           f"receive_error {count(after, received('receive_error'))}, wrong_size "
           f"{count(after, received('wrong_size'))}; {console} console lines {error_line!r}; "
           f"{drops} dropped by the kernel")
    run.check(after.get(received("too_large")) == datagrams,
              f"{count(after, received('too_large'))} datagrams counted too_large, expected "
              f"{datagrams}")
    run.check(after.get(received("receive_error")) == 0,
              f"{count(after, received('receive_error'))} counted as receive errors, expected 0")
    run.check(after.get(received("wrong_size")) == 1,
              f"{count(after, received('wrong_size'))} counted wrong_size, expected 1 (the "
              f"datagram of {vp.RECEIVE_BUFFER_SIZE} bytes)")
    run.check(console == datagrams,
              f"{console} console lines {error_line!r}, expected one per oversized datagram")
    join(run.player("a"), PLAYER_ID)


ABSOLUTE_FORM = (f"GET http://127.0.0.1:{METRICS_PORT}/metrics HTTP/1.1\r\n"
                 f"Host: 127.0.0.1:{METRICS_PORT}\r\n\r\n").encode()
ORIGIN_FORM = f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{METRICS_PORT}\r\n\r\n".encode()


def http_exchange(request, timeout=5.0):
    """The whole answer to one request on the metrics port (the server closes after it)."""
    with socket.create_connection(("127.0.0.1", METRICS_PORT), timeout=timeout) as sock:
        sock.sendall(request)
        answer = bytearray()
        while True:
            data = sock.recv(65536)
            if not data:
                return bytes(answer)
            answer += data


def scrape_until(deadline, results):
    """One scraper process: keeps SCRAPE_CONNECTIONS requests for /metrics in flight, each
    connection replaced as soon as it is answered or closed, until `deadline`."""
    selector = selectors.DefaultSelector()
    answered, cut, failed, bodies = 0, 0, 0, set()

    def open_connection():
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", METRICS_PORT))
        selector.register(sock, selectors.EVENT_WRITE, bytearray())

    for _ in range(SCRAPE_CONNECTIONS):
        open_connection()
    while time.monotonic() < deadline:
        for key, events in selector.select(0.1):
            sock, answer = key.fileobj, key.data
            try:
                if events & selectors.EVENT_WRITE:
                    sock.send(ORIGIN_FORM)
                    selector.modify(sock, selectors.EVENT_READ, answer)
                    continue
                data = sock.recv(65536)
                if data:
                    answer += data
                    continue
                if answer.startswith(b"HTTP/1.1 200"):
                    answered += 1
                    bodies.add(hash(bytes(answer.split(b"\r\n\r\n", 1)[-1])))
                else:
                    cut += 1
            except OSError:
                failed += 1
            selector.unregister(sock)
            sock.close()
            open_connection()
    for key in list(selector.get_map().values()):
        key.fileobj.close()
    results.put((answered, cut, failed, len(bodies)))


def scrape_regularly(namespace, deadline, answers):
    """An operator's Prometheus: one scrape every SCRAPE_INTERVAL until `deadline`, each given
    Prometheus's default timeout; appends (status line, seconds) of each."""
    while time.monotonic() < deadline:
        begin = time.monotonic()
        try:
            with harness.netns(namespace):
                answer = http_exchange(ORIGIN_FORM, timeout=PROMETHEUS_TIMEOUT)
            status = answer.split(b"\r\n", 1)[0].decode(errors="replace")
            if not answer:
                status = "closed without an answer"
            elif SENT.encode() not in answer:
                status += " (without the metrics)"
        except OSError as error:
            status = f"failed: {error}"
        answers.append((status, time.monotonic() - begin))
        time.sleep(max(0.0, begin + SCRAPE_INTERVAL - time.monotonic()))


def thread_figures(pid):
    """{thread id: (CPU nanoseconds, nice, scheduling policy)} of the process's threads."""
    figures = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as schedstat:
                cpu = int(schedstat.read().split()[0])
        except FileNotFoundError:
            continue
        # nice is field 19 and policy 41 in proc(5)'s numbering; fields[0] is the 3rd.
        figures[int(tid)] = (cpu, int(fields[16]), int(fields[38]))
    return figures


def growth(before, after):
    """{thread id: CPU nanoseconds used} between two thread_figures."""
    return {tid: after[tid][0] - before.get(tid, (0,))[0] for tid in after}


def scrape_flood(run):
    ns_a = run.ns["a"]
    server = run.server("a")
    seconds = SCRAPE_LOAD_SECONDS
    with harness.netns(ns_a):
        answer = http_exchange(ABSOLUTE_FORM)
    status = answer.split(b"\r\n", 1)[0].decode(errors="replace")
    run.check(" 200 " in status and SENT.encode() in answer,
              f"the absolute-form request GET http://127.0.0.1:{METRICS_PORT}/metrics was "
              f"answered {status!r}")

    phases = {}
    for phase in ("quiet", "flooded"):
        scrapers, results, regular = [], multiprocessing.Queue(), []
        span = seconds + 1.5
        threads_before = thread_figures(server.pid)
        if phase == "flooded":
            deadline = time.monotonic() + span
            with harness.netns(ns_a):
                for _ in range(SCRAPERS):
                    scraper = multiprocessing.Process(target=scrape_until,
                                                      args=(deadline, results), daemon=True)
                    scraper.start()
                    scrapers.append(scraper)
                    run.cleanups.append(scraper.kill)
            prometheus = threading.Thread(target=scrape_regularly,
                                          args=(ns_a, deadline, regular))
            prometheus.start()
            time.sleep(0.5)
        cpu_before = server.cpu_seconds()
        begin = time.monotonic()
        result = run.loadgen_report(run.loadgen("a", server, seconds), seconds)
        cpu = (server.cpu_seconds() - cpu_before) / (time.monotonic() - begin)
        threads_after = thread_figures(server.pid)
        scraped = [results.get(timeout=15) for _ in scrapers]
        for scraper in scrapers:
            scraper.join(timeout=10)
        if scrapers:
            prometheus.join(timeout=PROMETHEUS_TIMEOUT + 5)
        phases[phase] = growth(threads_before, threads_after)

        text = f"{phase}: server CPU {cpu:.0%} of a core"
        if result:
            text += (f", relay latency p50 {result['latencyP50Ms']} ms p99 "
                     f"{result['latencyP99Ms']} ms max {result['latencyMaxMs']} ms, lost "
                     f"{result['lost']}")
            run.check(result["lost"] == 0, f"{phase}: the players lost {result['lost']} relays")
        if scraped:
            answered, cut, failed, distinct = (sum(column) for column in zip(*scraped))
            text += (f"; {SCRAPERS}x{SCRAPE_CONNECTIONS} flood connections: "
                     f"{answered / span:.0f} answers/s, {cut / span:.0f} closed unanswered/s, "
                     f"{failed} failed, snapshots seen by one scraper "
                     f"{scraped[0][3] / span:.1f}/s")
        report("scrape-flood", text)
        if regular:
            ok = [took for status, took in regular if status.startswith("HTTP/1.1 200 ")]
            report("scrape-flood", f"{phase}: a scrape every {SCRAPE_INTERVAL:g} s: {len(ok)} of "
                   f"{len(regular)} answered, slowest {max(t for _, t in regular):.3f} s")
            unanswered = sorted({status for status, _ in regular
                                 if not status.startswith("HTTP/1.1 200 ")})
            run.check(len(ok) == len(regular),
                      f"{len(regular) - len(ok)} of {len(regular)} regular scrapes during the "
                      f"flood were not answered with the metrics: {'; '.join(unanswered)}")

    # The receive thread does the relays of the quiet phase; the endpoint's thread is the other
    # one the flood kept busy.
    receiver = max(phases["quiet"], key=phases["quiet"].get)
    others = {tid: used for tid, used in phases["flooded"].items() if tid != receiver}
    endpoint = max(others, key=others.get)
    figures = thread_figures(server.pid)
    (_, nice, policy), receiver_nice = figures[endpoint], figures[receiver][1]
    report("scrape-flood", f"the endpoint's thread used {others[endpoint] / 1e9:.2f} s of CPU "
           f"under the flood, at nice {nice} (policy {policy}); the receive thread "
           f"{phases['flooded'][receiver] / 1e9:.2f} s at nice {receiver_nice}")
    run.check(nice > receiver_nice or policy == os.SCHED_IDLE,
              f"the thread serving the scrapes runs at nice {nice} (policy {policy}), no lower "
              f"priority than the receive thread's nice {receiver_nice}")


def unshare_child(pid, seconds=5.0):
    """The process unshare --fork started (PID 1 of its namespace), by its PID out here."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            found = children.read().split()
        if found:
            return int(found[0])
        time.sleep(0.02)
    raise AssertionError("unshare started no process")


def start_as_pid1(run):
    """The server as PID 1 of a new PID namespace, in a's network namespace."""
    server = harness.ServerProcess(tempfile.mkdtemp(dir=run.workdir))
    run.cleanups.append(server.kill)
    env = dict(os.environ, XDG_DATA_HOME=server.data_home)
    command = ["unshare", "--pid", "--fork", "--mount-proc", harness.server_path(),
               f"--metrics=127.0.0.1:{METRICS_PORT}"]
    with harness.netns(run.ns["a"]), open(server.stdout_path, "wb") as out, \
            open(server.stderr_path, "wb") as err:
        server.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, env=env, cwd=server.workdir,
                                          start_new_session=True)
    server.wait_ready()
    pid = unshare_child(server.pid)
    with open(f"/proc/{pid}/status") as status:
        nspid = [line.split()[1:] for line in status if line.startswith("NSpid:")][0]
    if nspid[-1] != "1":
        raise AssertionError(f"the server is not PID 1 of its namespace: NSpid {nspid}")
    return server, pid


def pid1(run):
    cases = (("as PID 1", signal.SIGTERM), ("as PID 1", signal.SIGINT),
             ("as an ordinary process", signal.SIGTERM))
    for how, signum in cases:
        if how == "as PID 1":
            server, pid = start_as_pid1(run)
        else:
            server = run.server("a", watch=False)
            pid = server.pid
        player = run.player("a")
        join(player, PLAYER_ID)
        begin = time.monotonic()
        os.kill(pid, signum)
        # The server drains: it ends once its last player has left.
        player.send_packet(PLAYER_ID, vp.DISCONNECT)
        try:
            code = server.process.wait(timeout=STOP_GUARD_SECONDS)
            took = f"exited with {code} after {time.monotonic() - begin:.3f} s"
        except subprocess.TimeoutExpired:
            code = None
            took = f"still running {STOP_GUARD_SECONDS:g} s later"
        report("pid1", f"{signal.Signals(signum).name} {how}: {took}")
        run.check(code == 0, f"{signal.Signals(signum).name} {how}: the server {took}, "
                  "expected exit code 0")
        server.kill()
        player.close()


SCENARIOS = {
    "two-server-loop": two_server_loop,
    "self-loop": self_loop,
    "echo": echo,
    "oversized": oversized,
    "scrape-flood": scrape_flood,
    "pid1": pid1,
    "victim": victim,
    "connect-flood": connect_flood,
    "cap": cap,
    "ids": ids,
    "two-servers": two_servers,
    "idle": idle,
    "bad-checksum": bad_checksum,
    "players-file": players_file,
    "trust-sources": trust_sources,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", required=True, help="the velantis-server program")
    parser.add_argument("--loadgen", required=True, help="the velantis-loadgen program")
    parser.add_argument("--scenario", required=True, choices=SCENARIOS)
    parser.add_argument("--prefix", required=True, help="the namespaces' name prefix")
    parser.add_argument("--expect-faults", action="store_true",
                        help="the server believes every source (one from before address proof): "
                        "each row of the address-proof scenarios must fail")
    args = parser.parse_args()
    args.server = os.path.abspath(args.server)
    args.loadgen = os.path.abspath(args.loadgen)
    os.environ["VELANTIS_SERVER"] = args.server
    # A hang guard's SIGTERM still stops every server this script started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("attack_check: stopped"))
    namespaces = {role: f"{args.prefix}-{role}" for role in ("a", "b", "attacker", "echo")}
    failures = Failures(echo="attack_check")
    with tempfile.TemporaryDirectory(prefix=f"velantis-attack-{args.scenario}-") as workdir:
        run = Run(args, failures, workdir, namespaces)
        try:
            SCENARIOS[args.scenario](run)
        except (AssertionError, OSError) as failure:
            failures.check(False, f"{args.scenario} stopped: {failure}")
        finally:
            run.close()
    if failures.messages:
        print(f"attack_check: {args.scenario}: {len(failures.messages)} failure(s)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
