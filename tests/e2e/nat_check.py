"""Plays the game across routers that translate addresses, as most players' packets travel.

Run by scripts/test-nat.sh, which builds the network namespaces this script is given:

    home --lan-- router --wan-- internet --pub-- public
    10.0.1.2     10.0.1.1  203.0.113.2   203.0.113.1   198.51.100.2
                           198.51.100.1

The router masquerades what leaves its WAN side and forwards back only what its connection
tracking knows, as a home router does. Two scenarios, each with a fresh server:

  behind-nat    the server on the public host; one player at home behind the router, one on the
                internet side;
  port-forward  the server at home, reached through the router's forwarded UDP 15000 (destination
                NAT, as a container host or a cloud host forwards a port); both players outside.

In both, each player connects, gets its announcement and Welcome, sees the other's announcement,
both move, and each sees every relayed update of the other. Every packet must come from the
address and port the player sent to. Sockets and the server process are put into a namespace
by switching the calling thread into it (setns) while they are made.
"""

import argparse
import os
import sys
import tempfile

import server_harness as harness
import velantis_protocol as vp

MOVES = 3


class Player:
    def __init__(self, name, namespace, local_address, server_address, client_id):
        self.name = name
        self.client_id = client_id
        with harness.netns(namespace):
            self.client = harness.Client(local_address=local_address,
                                         server_address=server_address)
        self.received = []

    def receive(self, count):
        for _ in range(count):
            self.received.append(self.client.receive_packet(timeout=30.0))
        return self.received[-count:]

    def close(self):
        self.client.close()


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def play(scenario, server_namespace, first, second):
    """Both players connect, both move, both leave; every reply is checked on arrival."""
    with tempfile.TemporaryDirectory(prefix=f"velantis-nat-{scenario}-") as workdir:
        with harness.netns(server_namespace):
            server = harness.ServerProcess(workdir).start()
        try:
            first.client.send_packet(first.client_id, vp.CONNECT, first.name.encode())
            own, welcome = first.receive(2)
            check((own.message_type, own.player_uuid) == (vp.CONNECT, first.client_id),
                  f"{first.name}: announcement {own}")
            check(welcome.message_type == vp.WELCOME and welcome.entity_id == own.entity_id,
                  f"{first.name}: welcome {welcome}")

            # Each player's first update carries its Welcome's entity id back through the NAT:
            # it proves the address the server sees, and registers the player.
            first.entity_id = welcome.entity_id
            first.client.send_packet(first.client_id, vp.PLAYER_POSITION_UPDATE, b"here",
                                     entity_id=first.entity_id)
            (relay,) = first.receive(1)
            check((relay.message_type, relay.client_id) ==
                  (vp.PLAYER_POSITION_UPDATE, first.client_id),
                  f"{first.name}'s first update was not relayed: {relay}")

            second.client.send_packet(second.client_id, vp.CONNECT, second.name.encode())
            own, welcome = second.receive(2)
            check((own.message_type, own.player_uuid, welcome.message_type) ==
                  (vp.CONNECT, second.client_id, vp.WELCOME), f"{second.name}: {own} {welcome}")
            second.entity_id = welcome.entity_id
            second.client.send_packet(second.client_id, vp.PLAYER_POSITION_UPDATE, b"here",
                                      entity_id=second.entity_id)
            (told, relay) = first.receive(2)
            check((told.message_type, told.player_uuid, told.text) ==
                  (vp.CONNECT, second.client_id, second.name.encode()),
                  f"{first.name} was not told of {second.name}: {told}")
            second.receive(1)

            for step in range(MOVES):
                for mover in (first, second):
                    mover.client.send_packet(mover.client_id, vp.PLAYER_POSITION_UPDATE,
                                             b"move", x=float(step), y=float(mover.client_id),
                                             entity_id=mover.entity_id)
                    for player in (first, second):
                        (relay,) = player.receive(1)
                        check((relay.message_type, relay.client_id, relay.x, relay.y) ==
                              (vp.PLAYER_POSITION_UPDATE, mover.client_id, float(step),
                               float(mover.client_id)),
                              f"{player.name} got {relay} for {mover.name}'s move {step}")

            numbers = sorted(p.message_number for p in first.received + second.received)
            check(numbers == list(range(1, len(numbers) + 1)),
                  f"the server's message numbers are not consecutive: {numbers}")
            for player in (first, second):
                player.client.send_packet(player.client_id, vp.DISCONNECT, b"bye")
            server.wait_for_line("stdout", "NetworkingComponentServer(): Client disconnected.",
                                 count=2)
        finally:
            server.kill()
    print(f"nat_check: {scenario}: both players got every announcement, Welcome and relay "
          f"({len(numbers)} packets, all from the server's address and port)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", required=True, help="the velantis-server program")
    parser.add_argument("--scenario", required=True, choices=("behind-nat", "port-forward"))
    parser.add_argument("--prefix", required=True, help="the namespaces' name prefix")
    args = parser.parse_args()
    os.environ["VELANTIS_SERVER"] = os.path.abspath(args.server)
    ns = {role: f"{args.prefix}-{role}" for role in ("home", "router", "internet", "public")}
    port = vp.SERVER_PORT

    if args.scenario == "behind-nat":
        players = [Player("alice", ns["home"], "10.0.1.2", ("198.51.100.2", port), 1),
                   Player("bob", ns["internet"], "203.0.113.1", ("198.51.100.2", port), 2)]
        server_namespace = ns["public"]
    else:
        players = [Player("alice", ns["internet"], "203.0.113.1", ("203.0.113.2", port), 1),
                   Player("bob", ns["public"], "198.51.100.2", ("203.0.113.2", port), 2)]
        server_namespace = ns["home"]
    try:
        play(args.scenario, server_namespace, *players)
    except AssertionError as failure:
        print(f"nat_check: {args.scenario} FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        for player in players:
            player.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
