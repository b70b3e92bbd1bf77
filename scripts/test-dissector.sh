#!/usr/bin/env bash
# The dissector leg: reads captures of the game's traffic with tshark and the Wireshark plugin
# packaging/wireshark/velantis.lua, and checks every datagram's fields, checksum status and fault
# flags against the packets' bytes (tests/dissector/check_dissector.py):
#
#   1. the checked-in capture of edge cases (tests/dissector/edge-cases.pcap.gz);
#   2. a live capture of the loopback interface, taken with dumpcap while the real server serves a
#      scripted session of velantis-client runs and raw faulty datagrams (needs root to capture);
#   3. the dissection speed over 10,000 packets, printed and not judged.
#
# The live step binds UDP 15000 and captures on loopback, in a network namespace of its own.
#
# VELANTIS_JOBS sets the build's parallelism (default 2). Without root and without tshark, the
# leg says so and is skipped (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build_dir=build/release
lua=packaging/wireshark/velantis.lua

if ! command -v tshark >/dev/null || ! command -v dumpcap >/dev/null; then
  skip_unless_root "tshark is not installed, and installing it needs root (apt-get install tshark)."
  scripts/setup.sh tshark
fi
log "$(tshark --version 2>/dev/null | head -n 1)"

build() { build_programs velantis-server velantis-client; }

step "edge-case capture" timeout 900 python3 tests/dissector/check_dissector.py edge --lua "$lua"
if [ "$(id -u)" -eq 0 ]; then
  step build build
  if [ "$status" -eq 0 ]; then
    step "live capture" in_network_namespace timeout 900 python3 \
      tests/dissector/check_dissector.py live --lua "$lua" \
      --server "$build_dir/velantis-server" --client "$build_dir/tools/velantis-client"
  fi
else
  log "live capture SKIPPED: capturing the loopback interface needs root"
fi
step speed timeout 900 python3 tests/dissector/check_dissector.py speed --lua "$lua" \
  --packets 10000
exit "$status"
