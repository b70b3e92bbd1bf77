#!/usr/bin/env bash
# The attack leg: hostile traffic against the real server. Builds five network namespaces (two
# servers' hosts, an attacker that forges source addresses, an echo service, and a hub routing
# between them) and runs tests/e2e/attack_check.py once per scenario, each with a network and
# servers of its own: loops between two servers, a server and itself, a server and echo services;
# a flood of forged Connects against the player cap; oversized datagrams; a scrape flood on the
# metrics port; SIGTERM to the server as PID 1. Every flood is bounded and stops by itself.
# Everything the leg makes is removed when it ends, also on failure.
#
# The address-proof scenarios check, row by row, that a source is believed only once it has
# proven that it receives: a victim named as a forged source, a flood of forged Connects, the
# player cap, ids used from other addresses, two servers set on each other, a silent player,
# badly checksummed updates at 1,024 players, the players file, and --trust-sources. Each row
# prints its figures and HOLDS or FAILS.
#
# VELANTIS_ATTACK_SERVER=PATH checks that server instead of building one (its velantis-loadgen
# is taken from tools/ beside it, or from VELANTIS_ATTACK_LOADGEN); VELANTIS_ATTACK_SCENARIOS
# picks scenarios by name ("echo pid1"; all by default). VELANTIS_ATTACK_EXPECT=faults is for a
# server from before address proof: it runs the address-proof scenarios only and passes when
# every row fails there (the --trust-sources row, that server's own behaviour, holds).
# Needs root (namespaces, raw sockets); without root the leg says so and is skipped (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build_dir=build/release
server=${VELANTIS_ATTACK_SERVER:-$build_dir/velantis-server}
loadgen=${VELANTIS_ATTACK_LOADGEN:-$(dirname "$server")/tools/velantis-loadgen}
prefix=vatk$$
roles=(hub a b attacker echo)

skip_unless_root "network namespaces and forged source addresses need root"
install_missing ip:iproute2 unshare:util-linux

at() { ip netns exec "$prefix-$1" "${@:2}"; }

# What a failed or stopped check left running in the namespaces goes with them (a server caught
# in a loop would otherwise go on sending).
cleanup() {
  for role in "${roles[@]}"; do
    if [ -e "/run/netns/$prefix-$role" ]; then
      ip netns pids "$prefix-$role" | xargs -r kill -KILL 2>/dev/null || true
      ip netns delete "$prefix-$role" 2>/dev/null || true
    fi
  done
}
trap cleanup EXIT

# One spoke of the hub: ROLE gets SUBNET.2/24, the hub SUBNET.1. Reverse-path filtering is off
# everywhere, so that forged sources travel as they would across the internet.
spoke() {  # role subnet
  ip link add "to-$1" netns "$prefix-hub" type veth peer name eth0 netns "$prefix-$1"
  at hub ip addr add "$2.1/24" dev "to-$1"
  at "$1" ip addr add "$2.2/24" dev eth0
  at hub ip link set "to-$1" up
  at "$1" ip link set eth0 up
  at "$1" ip route add default via "$2.1"
  at hub sysctl -qw "net.ipv4.conf.to-$1.rp_filter=0"
  at "$1" sysctl -qw net.ipv4.conf.eth0.rp_filter=0
}

network() {
  for role in "${roles[@]}"; do
    ip netns add "$prefix-$role"
    at "$role" ip link set lo up
    at "$role" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
  done
  spoke a 198.51.100
  spoke b 203.0.113
  spoke attacker 10.0.1
  spoke echo 10.0.2
  at hub sysctl -qw net.ipv4.ip_forward=1
  # What the servers send to the connect flood's forged addresses ends here.
  at hub ip route add blackhole 10.0.128.0/17
  # Linux drops a datagram claiming the receiver's own address; a server behind a forwarded port
  # (a container) or on Windows receives it, so a does too.
  at a sysctl -qw net.ipv4.conf.eth0.accept_local=1
}

expect=()
proof_only=
case ${VELANTIS_ATTACK_EXPECT:-} in
  "") ;;
  faults) expect=(--expect-faults) proof_only=1 ;;
  *) log "VELANTIS_ATTACK_EXPECT is \"faults\" or unset" && exit 2 ;;
esac

scenario() {  # name
  cleanup
  network &&
    timeout --kill-after=10 600 python3 tests/e2e/attack_check.py --server "$server" \
      --loadgen "$loadgen" --scenario "$1" --prefix "$prefix" "${expect[@]}"
}

attack() {  # name description
  [ -z "$proof_only" ] || return 0
  proof "$@"
}

proof() {  # name description
  case " ${VELANTIS_ATTACK_SCENARIOS:-$1} " in
    *" $1 "*) step "$2" scenario "$1" ;;
  esac
}

build() {
  if [ -n "${VELANTIS_ATTACK_SERVER:-}" ]; then
    log "checking $server with $loadgen (not built here)"
    [ -x "$server" ] && [ -x "$loadgen" ]
  else
    build_programs velantis-server velantis-loadgen
  fi
}

begin=$SECONDS
step build build
if [ "$status" -eq 0 ]; then
  attack two-server-loop "two servers relaying to each other"
  attack self-loop "a server relaying to itself"
  attack echo "echo services registered as players"
  attack oversized "oversized datagrams"
  attack scrape-flood "a scrape flood on the metrics port"
  attack pid1 "SIGTERM and SIGINT, also to PID 1"
  proof victim "a victim named as the source of forged Connects"
  proof connect-flood "100,000 forged Connects from random sources beside 8 players"
  proof cap "forged Connects at the player cap, and a restart"
  proof ids "ids used from other addresses"
  proof two-servers "two servers set on each other, their counters far apart"
  proof idle "a player that stops without a Disconnect"
  proof bad-checksum "badly checksummed updates at 1,024 players"
  proof players-file "players files that are no plain list of players"
  proof trust-sources "--trust-sources"
fi
log "done in $((SECONDS - begin)) s"
exit "$status"
