#!/usr/bin/env python3
"""The ways a game reaches the server through the client library, on real network namespaces.

  nat64:  an IPv6-only player namespace whose resolver (unbound, on its ::1) does DNS64 and whose
          router translates NAT64 (tayga, prefix 2001:db8:64::/96) reaches the IPv4-only
          server by host name and plays (tests/client/two_players.c); so does a name its /etc/hosts
          gives as an IPv6 address. Beside the server, "localhost" and a name from /etc/hosts.
  idle:   a player behind a masquerading router whose UDP conntrack timeout is 3 s sends nothing
          itself for 7 s, then must still receive the updates of a player beside the server.

Builds its namespaces (names of this process only), /etc/netns/<name>/ files for them, and
removes all of it at the end, whatever happened. Needs root, unbound and tayga.
Usage: paths.py --server PATH --two-players PATH --liveness PATH --client PATH
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SERVER_V4 = "203.0.113.2"
ROUTER_V4 = "203.0.113.1"
POOL_V4 = "198.51.100.0/24"
TAYGA_V4 = "198.51.100.1"
PLAYERS_V6 = "fd00:64::2"
ROUTER_V6 = "fd00:64::1"
TAYGA_V6 = "fd00:64:ff::1"
# A network-specific prefix: tayga refuses the well-known 64:ff9b::/96 with addresses that are not
# global, and the only IPv4 addresses these namespaces may use are documentation ones.
NAT64_PREFIX = "2001:db8:64::"
DNS64_NAME = "game.velantis.test"
HOSTS_V6_NAME = "hosts6.velantis.test"
HOSTS_V4_NAME = "hosts4.velantis.test"


def run(*command, check=True, timeout=60):
    return subprocess.run(command, check=check, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=timeout)


def synthesized(ipv4):
    parts = [int(part) for part in ipv4.split(".")]
    return f"{NAT64_PREFIX}{parts[0] * 256 + parts[1]:x}:{parts[2] * 256 + parts[3]:x}"


class Namespaces:
    """Server <-> router <-> players; every name ends with this process's id."""

    def __init__(self):
        tag = f"vpa{os.getpid()}"
        self.server, self.router, self.players = f"{tag}-srv", f"{tag}-rtr", f"{tag}-ply"
        self.made, self.processes = [], []
        self.files = tempfile.mkdtemp(prefix="velantis-paths-")

    def __enter__(self):
        for name in (self.server, self.router, self.players):
            run("ip", "netns", "add", name)
            self.made.append(name)
            run("ip", "-n", name, "link", "set", "lo", "up")
            os.makedirs(f"/etc/netns/{name}", exist_ok=True)
        for inside, outside in ((self.server, "tos"), (self.players, "top")):
            run("ip", "link", "add", "eth0", "netns", inside, "type", "veth", "peer", "name",
                outside, "netns", self.router)
            run("ip", "-n", inside, "link", "set", "eth0", "up")
            run("ip", "-n", self.router, "link", "set", outside, "up")
        run("ip", "-n", self.server, "addr", "add", f"{SERVER_V4}/24", "dev", "eth0")
        run("ip", "-n", self.server, "route", "add", "default", "via", ROUTER_V4)
        run("ip", "-n", self.router, "addr", "add", f"{ROUTER_V4}/24", "dev", "tos")
        run("ip", "netns", "exec", self.router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        return self

    def __exit__(self, *_):
        for process in self.processes:
            process.kill()
            process.wait(timeout=10)
        for name in reversed(self.made):
            run("ip", "netns", "del", name, check=False)
            shutil.rmtree(f"/etc/netns/{name}", ignore_errors=True)
        shutil.rmtree(self.files, ignore_errors=True)

    def start(self, namespace, *command, **options):
        process = subprocess.Popen(["ip", "netns", "exec", namespace, *command],
                                   stdin=subprocess.DEVNULL, **options)
        self.processes.append(process)
        return process

    def write(self, namespace, name, text):
        with open(f"/etc/netns/{namespace}/{name}", "w") as file:
            file.write(text)

    def ipv6_only_players(self):
        """The players' side gets IPv6 only, the router tayga, the players unbound with DNS64."""
        run("ip", "-n", self.players, "addr", "add", f"{PLAYERS_V6}/64", "dev", "eth0", "nodad")
        run("ip", "-n", self.players, "route", "add", "default", "via", ROUTER_V6)
        run("ip", "-n", self.router, "addr", "add", f"{ROUTER_V6}/64", "dev", "top", "nodad")
        run("ip", "netns", "exec", self.router, "sysctl", "-qw",
            "net.ipv6.conf.all.forwarding=1")
        tayga = os.path.join(self.files, "tayga.conf")
        with open(tayga, "w") as file:
            file.write(f"tun-device nat64\nipv4-addr {TAYGA_V4}\nprefix {NAT64_PREFIX}/96\n"
                       f"ipv6-addr {TAYGA_V6}\ndynamic-pool {POOL_V4}\ndata-dir {self.files}\n")
        run("ip", "netns", "exec", self.router, "tayga", "--config", tayga, "--mktun")
        run("ip", "-n", self.router, "link", "set", "nat64", "up")
        run("ip", "-n", self.router, "route", "add", POOL_V4, "dev", "nat64")
        run("ip", "-n", self.router, "route", "add", f"{NAT64_PREFIX}/96", "dev", "nat64")
        self.start(self.router, "tayga", "--config", tayga, "--nodetach",
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The game's name lives in a zone of the resolver's own that its iterator reads, so the
        # dns64 module in front of it synthesizes the AAAA record from the A record (unbound
        # answers for "test." itself unless told not to).
        zone = os.path.join(self.files, "velantis.test.zone")
        with open(zone, "w") as file:
            file.write("$TTL 60\n"
                       "velantis.test. IN SOA ns.velantis.test. admin.velantis.test. "
                       "1 60 60 60 60\n"
                       "velantis.test. IN NS ns.velantis.test.\n"
                       f"ns.velantis.test. IN AAAA {PLAYERS_V6}\n"
                       f"{DNS64_NAME}. IN A {SERVER_V4}\n")
        unbound = os.path.join(self.files, "unbound.conf")
        with open(unbound, "w") as file:
            file.write("server:\n"
                       "  interface: ::1\n  do-ip4: no\n  access-control: ::1 allow\n"
                       "  username: \"\"\n  chroot: \"\"\n"
                       f"  directory: \"{self.files}\"\n  pidfile: \"\"\n"
                       "  use-syslog: no\n  logfile: \"\"\n  do-daemonize: no\n"
                       "  module-config: \"dns64 iterator\"\n"
                       f"  dns64-prefix: {NAT64_PREFIX}/96\n"
                       "  local-zone: \"test.\" nodefault\n"
                       "auth-zone:\n  name: velantis.test.\n"
                       f"  zonefile: \"{zone}\"\n  for-downstream: no\n  for-upstream: yes\n")
        self.start(self.players, "unbound", "-d", "-c", unbound, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
        self.write(self.players, "resolv.conf", "nameserver ::1\n")
        self.write(self.players, "hosts", f"::1 localhost\n{synthesized(SERVER_V4)} "
                                          f"{HOSTS_V6_NAME}\n")
        self.write(self.server, "hosts", f"127.0.0.1 localhost\n::1 localhost\n"
                                         f"127.0.0.1 {HOSTS_V4_NAME}\n")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            answer = run("ip", "netns", "exec", self.players, "getent", "ahostsv6", DNS64_NAME,
                         check=False)
            if answer.returncode == 0:
                return answer.stdout.split()[0]
            time.sleep(0.1)
        return None

    def masquerading_router(self, udp_timeout):
        run("ip", "-n", self.players, "addr", "add", "10.232.2.2/24", "dev", "eth0")
        run("ip", "-n", self.players, "route", "add", "default", "via", "10.232.2.1")
        run("ip", "-n", self.router, "addr", "add", "10.232.2.1/24", "dev", "top")
        ruleset = ("table ip nat {\n"
                   "  chain postrouting {\n"
                   "    type nat hook postrouting priority srcnat; policy accept;\n"
                   "    oifname \"tos\" masquerade\n"
                   "  }\n"
                   "}\n")
        subprocess.run(["ip", "netns", "exec", self.router, "nft", "-f", "-"], input=ruleset,
                       text=True, check=True, capture_output=True, timeout=30)
        # Set after the NAT table exists, which loads conntrack in the namespace.
        for name in ("nf_conntrack_udp_timeout", "nf_conntrack_udp_timeout_stream"):
            run("ip", "netns", "exec", self.router, "sysctl", "-qw",
                f"net.netfilter.{name}={udp_timeout}")


def start_server(namespaces, path):
    data = tempfile.mkdtemp(prefix="velantis-paths-server-", dir=namespaces.files)
    console = open(os.path.join(data, "console.txt"), "w+")
    namespaces.start(namespaces.server, path, stdout=console, stderr=subprocess.STDOUT,
                     env=dict(os.environ, XDG_DATA_HOME=data))
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(console.name) as text:
            if "Waiting a message" in text.read():
                return True
        time.sleep(0.05)
    return False


def play(namespace, two_players, address, first_id):
    result = run("ip", "netns", "exec", namespace, two_players, address, "15000", str(first_id),
                 check=False, timeout=120)
    return result.returncode == 0, (result.stdout + result.stderr).strip()


def nat64(args, failures):
    with Namespaces() as namespaces:
        synthesized_address = namespaces.ipv6_only_players()
        if synthesized_address != synthesized(SERVER_V4):
            failures.append(f"nat64: DNS64 gave {synthesized_address} for {DNS64_NAME}")
            return
        print(f"nat64: {DNS64_NAME} resolves to {synthesized_address} in the IPv6-only namespace")
        if not start_server(namespaces, args.server):
            failures.append("nat64: the server did not start")
            return
        for namespace, name, first_id in ((namespaces.players, DNS64_NAME, 3101),
                                          (namespaces.players, HOSTS_V6_NAME, 3201),
                                          (namespaces.server, "localhost", 3301),
                                          (namespaces.server, HOSTS_V4_NAME, 3401)):
            started = time.monotonic()
            ok, output = play(namespace, args.two_players, name, first_id)
            where = "IPv6-only players" if namespace == namespaces.players else "server's host"
            print(f"nat64: {name} from the {where}: {'played' if ok else 'FAILED'} in "
                  f"{time.monotonic() - started:.1f} s")
            if not ok:
                failures.append(f"nat64: {name} from the {where}: {output}")


def idle(args, failures):
    with Namespaces() as namespaces:
        namespaces.masquerading_router(3)
        if not start_server(namespaces, args.server):
            failures.append("idle: the server did not start")
            return
        listener = namespaces.start(namespaces.players, args.liveness, "idle", SERVER_V4, "7",
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # Nothing but the idle player's own keep-alives may cross the router for 6 s after its
        # Welcome, twice the mapping's life; then a player beside the server moves: every 100 ms
        # for 6 s, over the time the idle player counts (from 7 s to 10 s after its Welcome).
        welcomed = listener.stdout.readline()
        if welcomed.strip() != "welcomed":
            failures.append("idle: the player behind the router was not welcomed: " + welcomed
                            + listener.communicate(timeout=60)[0])
            return
        time.sleep(6)
        mover = namespaces.start(namespaces.server, args.client, "--quiet", "--id", "9002",
                                 "--connect", "--move", "1,1", "--count", "60", "--rate", "10",
                                 "--disconnect", "--wait", "2", stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        output, _ = listener.communicate(timeout=60)
        moved, _ = mover.communicate(timeout=60)
        print("idle: " + " ".join((welcomed + output).split()))
        if mover.returncode != 0:
            failures.append("idle: the moving player failed: " + moved)
        if listener.returncode != 0:
            failures.append("idle: the player behind the router stopped receiving: " + output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--server", "--two-players", "--liveness", "--client"):
        parser.add_argument(option, required=True, type=os.path.abspath)
    parser.add_argument("--only", choices=("nat64", "idle"))
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("paths: skipped: network namespaces need root")
        return 0
    failures = []
    for check in (nat64, idle):
        if args.only in (None, check.__name__):
            check(args, failures)
    for failure in failures:
        print(f"paths: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
