#!/usr/bin/env python3
"""Connecting through a lossy path, with the client library's connect logic.

Builds three network namespaces of its own (server, router, players), joined by veth pairs, with
an nftables rule on the router's forward hook; runs the real server in the first and
velantis-client in the last; removes everything at the end, whatever happened.

  random:  the router drops 30% of the UDP datagrams each way; every one of 10 players connects.
  welcome: the router drops exactly one datagram, the first Welcome; the player's first resend
           (at 0.5 s) is answered again, as every Connect from its address is until its first
           update registers it, so it is welcomed without a restart. (A server that trusts every
           source ignores a repeated Connect of a registered id, and the client then restarts
           with a Disconnect at 2.5 s.)

Needs root (ip netns, nft). Usage: lossy_connect.py --server PATH --client PATH
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

PLAYERS = 10
LOSS_PERCENT = 30
WAIT_SECONDS = 25  # each player's give-up time (velantis-client --wait)
SERVER_ADDRESS = "10.231.1.2"
WELCOMED = re.compile(r"welcomed after (\d+) Connect\(s\) \((\d+) restart\(s\)\)")


def run(*command, check=True):
    return subprocess.run(command, check=check, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)


class Network:
    """Server <-> router <-> players, with names of this process only."""

    def __init__(self):
        tag = f"vcl{os.getpid()}"
        self.server, self.router, self.players = f"{tag}-srv", f"{tag}-rtr", f"{tag}-ply"
        self.made = []

    def __enter__(self):
        for name in (self.server, self.router, self.players):
            run("ip", "netns", "add", name)
            self.made.append(name)
            run("ip", "-n", name, "link", "set", "lo", "up")
        for inside, outside, subnet in ((self.server, "s", 1), (self.players, "p", 2)):
            run("ip", "link", "add", "eth0", "netns", inside, "type", "veth", "peer", "name",
                f"to{outside}", "netns", self.router)
            run("ip", "-n", inside, "addr", "add", f"10.231.{subnet}.2/24", "dev", "eth0")
            run("ip", "-n", self.router, "addr", "add", f"10.231.{subnet}.1/24", "dev",
                f"to{outside}")
            run("ip", "-n", inside, "link", "set", "eth0", "up")
            run("ip", "-n", self.router, "link", "set", f"to{outside}", "up")
            run("ip", "-n", inside, "route", "add", "default", "via", f"10.231.{subnet}.1")
        run("ip", "netns", "exec", self.router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        return self

    def __exit__(self, *_):
        for name in reversed(self.made):
            run("ip", "netns", "del", name, check=False)

    def rule(self, match):
        """Replaces the router's forward rule; the ruleset lives in the router's namespace."""
        ruleset = ("flush ruleset\n"
                   "table inet loss {\n"
                   "  chain forward {\n"
                   "    type filter hook forward priority 0; policy accept;\n"
                   f"    {match} counter drop\n"
                   "  }\n"
                   "}\n")
        subprocess.run(["ip", "netns", "exec", self.router, "nft", "-f", "-"], input=ruleset,
                       text=True, check=True, capture_output=True, timeout=30)

    def dropped(self):
        listing = run("ip", "netns", "exec", self.router, "nft", "list", "ruleset").stdout
        found = re.search(r"counter packets (\d+)", listing)
        return int(found.group(1)) if found else -1


class Server:
    def __init__(self, network, path):
        self.data = tempfile.mkdtemp(prefix="velantis-lossy-")
        self.console = open(os.path.join(self.data, "console.txt"), "w+")
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", network.server, path], stdin=subprocess.DEVNULL,
            stdout=self.console, stderr=subprocess.STDOUT,
            env=dict(os.environ, XDG_DATA_HOME=self.data))

    def wait_ready(self):
        deadline = time.monotonic() + 60
        while self.process.poll() is None and time.monotonic() < deadline:
            with open(self.console.name) as console:
                if "Waiting a message..." in console.read():
                    return True
            time.sleep(0.05)
        return False

    def stop(self):
        self.process.kill()
        self.process.wait(timeout=10)
        self.console.close()
        shutil.rmtree(self.data, ignore_errors=True)


def connect_players(network, client, ids):
    """Runs one velantis-client per id at once; returns {id: (exit code, tries, restarts, text)}."""
    processes = {}
    for player_id in ids:
        processes[player_id] = subprocess.Popen(
            ["ip", "netns", "exec", network.players, client, "--quiet", "--server", SERVER_ADDRESS,
             "--id", str(player_id), "--connect", "--text", f"player {player_id}", "--wait",
             str(WAIT_SECONDS), "--expect", "0"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    results = {}
    for player_id, process in processes.items():
        output, _ = process.communicate(timeout=WAIT_SECONDS + 30)
        found = WELCOMED.search(output)
        tries, restarts = (int(found.group(1)), int(found.group(2))) if found else (0, 0)
        results[player_id] = (process.returncode, tries, restarts, output)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--client", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("lossy_connect: skipped: network namespaces need root")
        return 0
    failures = []
    with Network() as network:
        server = Server(network, os.path.abspath(args.server))
        try:
            if not server.wait_ready():
                print("lossy_connect: the server did not start", file=sys.stderr)
                return 1

            network.rule(f"meta l4proto udp numgen random mod 100 lt {LOSS_PERCENT}")
            started = time.monotonic()
            results = connect_players(network, os.path.abspath(args.client),
                                      range(101, 101 + PLAYERS))
            seconds = time.monotonic() - started
            for player_id, (code, tries, restarts, output) in results.items():
                print(f"random loss: player {player_id}: exit {code}, {tries} Connect(s), "
                      f"{restarts} restart(s)")
                if code != 0 or tries == 0:
                    failures.append(f"player {player_id} did not connect through "
                                    f"{LOSS_PERCENT}% loss:\n{output}")
            print(f"random loss: {PLAYERS} players in {seconds:.1f} s, the router dropped "
                  f"{network.dropped()} datagrams")

            # Exactly the first Welcome: 1056 bytes of payload, type byte (offset 24) == 2. The
            # quota lets one such datagram (1084 bytes with its headers) through the rule.
            network.rule("udp length 1064 @th,256,8 2 quota until 1500 bytes")
            (code, tries, restarts, output), = connect_players(network, args.client,
                                                               [201]).values()
            dropped = network.dropped()
            print(f"lost Welcome: exit {code}, {tries} Connect(s), {restarts} restart(s), "
                  f"{dropped} datagram dropped")
            if dropped != 1:
                failures.append(f"the router dropped {dropped} datagrams, not exactly the Welcome")
            # The server answers a repeated Connect from the same address again until the
            # player's first update registers it: the resend is enough, no restart needed.
            if code != 0 or (tries, restarts) != (2, 0):
                failures.append("with only its Welcome lost, the player should be welcomed on its "
                                f"second Connect, without a restart:\n{output}")
        finally:
            server.stop()
    for failure in failures:
        print(f"lossy_connect: FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
