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
  connect-flood    5,000 Connects from distinct forged sources while 8 real players play: the
                   registry stays within --max-players and the players lose no relay;
  oversized        datagrams of 1401, 1500 and 65507 bytes are counted as too large, not as
                   receive errors, and the server goes on serving;
  scrape-flood     /metrics scraped as fast as several processes can, over more connections than
                   the endpoint keeps open, while players play: no relay lost, an operator's
                   scrape every half second still answered, the absolute-form request answered,
                   the endpoint's thread below the receive thread's priority; relay latency and
                   CPU with and without the flood are reported;
  pid1             SIGTERM and SIGINT end the server with exit code 0, also as PID 1 of a PID
                   namespace (as in a container).

Rates, counts and latencies are printed; only counts are checked, speeds never.
"""

import argparse
import errno
import ipaddress
import json
import multiprocessing
import os
import selectors
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
# The cap of the connect flood. With the default 1024, every position update of a real player
# would be sent to 1024 addresses: 8 players at 30 Hz make 245,000 packets a second, beyond what
# one 2-core machine relays (about 84 players at 30 Hz, 210,000 a second), so the real players
# would lose relays to a full registry whatever the server does. 64 keeps the test about the cap.
CAP = 64
FLOOD_CONNECTS = 5000
FLOOD_RATE = 2500
FLOOD_FIRST_ID = 1_000_000_000
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

    def server(self, role, options=(), watch=True):
        server = harness.ServerProcess(tempfile.mkdtemp(dir=self.workdir))
        self.cleanups.append(server.kill)
        with harness.netns(self.ns[role]):
            server.start(options=(f"--metrics=127.0.0.1:{METRICS_PORT}", *options))
        wait_until(lambda: metrics(self.ns[role]), 10, f"server {role} serves no /metrics")
        if watch:
            self.watched.append((role, server))
        return server

    def stop(self, server):
        self.watched = [(name, s) for name, s in self.watched if s is not server]
        server.kill()

    def player(self, role):
        with harness.netns(self.ns[role]):
            client = harness.Client()
        self.cleanups.append(client.close)
        return client

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
    """Connects a real player as a game client does: its announcement and Welcome must arrive,
    and its first update, carrying the Welcome's entity id, must come back relayed."""
    client.send_packet(client_id, vp.CONNECT, b"player")
    own, welcome = client.receive_packet(), client.receive_packet()
    if (own.message_type, own.player_uuid, welcome.message_type) != \
            (vp.CONNECT, client_id, vp.WELCOME):
        raise AssertionError(f"player {client_id} joined with {own} and {welcome}")
    client.entity_id = welcome.entity_id
    move(client, client_id)


def move(client, client_id):
    """One position update; its relay must come back to the player (after what was pending)."""
    client.pending()
    client.send_packet(client_id, vp.PLAYER_POSITION_UPDATE, b"move", x=1.5, y=-2.0,
                       entity_id=getattr(client, "entity_id", 0))
    for _ in range(20):
        relay = client.receive_packet()
        if (relay.message_type, relay.client_id) == (vp.PLAYER_POSITION_UPDATE, client_id):
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
    join(player, PLAYER_ID)
    run.forger.send(source, (A_ADDRESS, PORT), connect_packet(FORGED_ID))
    time.sleep(0.3)
    move(player, PLAYER_ID)
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
        join(player, PLAYER_ID)
        run.forger.send((ECHO_ADDRESS, port), (A_ADDRESS, PORT), connect_packet(FORGED_ID))
        time.sleep(0.3)
        move(player, PLAYER_ID)
        time.sleep(SETTLE_SECONDS)
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
            # Its own announcement and the Welcome, each come back once and never answered: it
            # never proves its address, so it is never registered and gets no relay.
            run.check(bounced == 2, f"echo port {port}: the echo service got {bounced} datagrams "
                      "from the server, expected 2 (its announcement and Welcome)")
            run.check(a.get(received("echoed")) == bounced,
                      f"echo port {port}: the server counted {count(a, received('echoed'))} "
                      f"echoes of the {bounced} the service sent back")
        run.stop(server)
        player.close()


def forged_connects():
    """The flood's Connects, each from an address and port of its own, sealed ahead of time."""
    hosts = FORGED_SOURCES.hosts()
    flood = []
    for i in range(FLOOD_CONNECTS):
        source = (str(next(hosts)), 20000 + i)
        flood.append((source, connect_packet(FLOOD_FIRST_ID + i)))
    return flood


def connect_flood(run):
    ns_a = run.ns["a"]
    help_text = subprocess.run([run.args.server, "--help"], capture_output=True, text=True,
                               timeout=10).stdout
    options = ("--max-players", str(CAP))
    if not run.check("--max-players" in help_text, "the server has no --max-players option; "
                     "the flood goes on against its unbounded registry"):
        options = ()
    flood = forged_connects()
    server = run.server("a", options)
    rss_before = server.rss_bytes()
    seconds = 8
    loadgen = run.loadgen("a", server, seconds)
    wait_until(lambda: metrics(ns_a)[PLAYERS] == LOAD_PLAYERS, 10, "loadgen's players not in")
    peaks, flooding = [LOAD_PLAYERS], threading.Event()

    def watch_registry():
        while flooding.is_set() or loadgen.poll() is None:
            peaks.append(metrics(ns_a)[PLAYERS])
            time.sleep(0.1)

    flooding.set()
    watcher = threading.Thread(target=watch_registry, daemon=True)
    watcher.start()
    # Evenly paced: a burst would overflow the server socket's receive buffer (some 60
    # datagrams) and lose the real players' updates in the kernel, whatever the server does.
    begin = next_send = time.monotonic()
    for i, (source, payload) in enumerate(flood):
        run.forger.send(source, (A_ADDRESS, PORT), payload)
        if i % 5 == 4:
            next_send += 5 / FLOOD_RATE
            delay = next_send - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                next_send = time.monotonic()
    flood_seconds = time.monotonic() - begin
    flooding.clear()
    result = run.loadgen_report(loadgen, seconds)
    watcher.join(timeout=5)
    peak = max(peaks)
    time.sleep(0.2)
    after = metrics(ns_a)
    rss_after = server.rss_bytes()
    full = after.get(refused("full"))
    report("connect-flood", f"{FLOOD_CONNECTS} forged Connects in {flood_seconds:.1f} s; "
           f"players registered at most {peak:.0f} (cap {CAP}); Connects received "
           f"{after[CONNECTS]:.0f}, refused as full {count(after, refused('full'))}; server RSS "
           f"{rss_before / 1024:.0f} KiB before, {rss_after / 1024:.0f} KiB after")
    if result:
        report("connect-flood", f"loadgen {LOAD_PLAYERS} players x {LOAD_RATE} Hz: "
               f"{result['received']}/{result['expected']} relays, lost {result['lost']}, "
               f"latency p99 {result['latencyP99Ms']} ms max {result['latencyMaxMs']} ms, "
               f"server CPU {result['serverCpuSeconds']} s, server socket drops "
               f"{result['serverSocketDrops']}")
        run.check(result["lost"] == 0, f"the real players lost {result['lost']} relays "
                  "during the flood")
    # A forged source never proves its address: the flood registers nobody, so the real players
    # are all there is and no Connect finds the registry full.
    run.check(peak <= LOAD_PLAYERS, f"{peak:.0f} players registered, beyond the "
              f"{LOAD_PLAYERS} real ones")
    expected_full = 0
    run.check(full == expected_full,
              f"{count(after, refused('full'))} Connects refused as full, expected "
              f"{expected_full:.0f} (a forged source is never registered)")


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
            wait_until(lambda: counted() >= target, 3, f"a datagram of {size} bytes not counted")
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
    player = run.player("a")
    join(player, PLAYER_ID)
    move(player, PLAYER_ID)


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
    "connect-flood": connect_flood,
    "oversized": oversized,
    "scrape-flood": scrape_flood,
    "pid1": pid1,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", required=True, help="the velantis-server program")
    parser.add_argument("--loadgen", required=True, help="the velantis-loadgen program")
    parser.add_argument("--scenario", required=True, choices=SCENARIOS)
    parser.add_argument("--prefix", required=True, help="the namespaces' name prefix")
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
