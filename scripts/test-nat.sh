#!/usr/bin/env bash
# The nat leg: the game played across routers that translate addresses, as most players reach a
# server. Builds four network namespaces (a home, its router, the internet, a public host), has the
# router masquerade and filter with nftables like a home router, and runs tests/e2e/nat_check.py
# twice: the server public with a player behind the router, then the server at home behind the
# router's forwarded UDP 15000. Everything the leg makes is removed when it ends, also on failure.
# Needs root (namespaces and nftables); without root the leg says so and is skipped (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build_dir=build/release
prefix=vnat$$

skip_unless_root "network namespaces and nftables need root"
install_missing nft:nftables ip:iproute2

cleanup() {
  for role in home router internet public; do
    ip netns delete "$prefix-$role" 2>/dev/null || true
  done
}
trap cleanup EXIT

at() { ip netns exec "$prefix-$1" "${@:2}"; }

network() {
  for role in home router internet public; do
    ip netns add "$prefix-$role"
    at "$role" ip link set lo up
  done
  ip link add lan netns "$prefix-router" type veth peer name eth0 netns "$prefix-home"
  ip link add wan netns "$prefix-router" type veth peer name router netns "$prefix-internet"
  ip link add pub netns "$prefix-internet" type veth peer name eth0 netns "$prefix-public"
  at home ip addr add 10.0.1.2/24 dev eth0
  at router ip addr add 10.0.1.1/24 dev lan
  at router ip addr add 203.0.113.2/24 dev wan
  at internet ip addr add 203.0.113.1/24 dev router
  at internet ip addr add 198.51.100.1/24 dev pub
  at public ip addr add 198.51.100.2/24 dev eth0
  at home ip link set eth0 up
  at router ip link set lan up
  at router ip link set wan up
  at internet ip link set router up
  at internet ip link set pub up
  at public ip link set eth0 up
  at home ip route add default via 10.0.1.1
  at router ip route add default via 203.0.113.1
  at public ip route add default via 198.51.100.1
  at router sysctl -qw net.ipv4.ip_forward=1
  at internet sysctl -qw net.ipv4.ip_forward=1
}

# A home router: what leaves by the WAN side is masqueraded, and from the WAN side only what its
# connection tracking knows comes in (plus, with a forwarded port, what that port's rule admits).
router_rules() {  # [forward]
  local forward=""
  if [ "${1:-}" = forward ]; then
    forward='chain prerouting { type nat hook prerouting priority dstnat;
               iifname "wan" udp dport 15000 dnat ip to 10.0.1.2:15000; }'
  fi
  at router nft -f - <<RULES
flush ruleset
table ip router {
  $forward
  chain postrouting { type nat hook postrouting priority srcnat; oifname "wan" masquerade; }
  chain forward {
    type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" oifname "wan" accept
    ct status dnat accept
  }
}
RULES
}

# Each scenario gets a network of its own, so no connection tracked in one can help the other.
scenario() {  # name [forward]
  cleanup
  network && router_rules "${2:-}" &&
    timeout 300 python3 tests/e2e/nat_check.py --server "$build_dir/velantis-server" \
    --scenario "$1" --prefix "$prefix"
}

build() { build_programs velantis-server; }

step build build
if [ $status -eq 0 ]; then
  step "server public, player behind a masquerading router" scenario behind-nat
  step "server behind a forwarded port" scenario port-forward forward
fi
exit "$status"
