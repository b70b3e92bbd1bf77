#!/usr/bin/env bash
# The metrics leg: the real server with --metrics, scraped by Debian's Prometheus while
# velantis-loadgen plays a fixed load and the metrics port takes bad input
# (tests/metrics/check_metrics.py says what is checked). Runs in a network namespace of its own,
# so it needs root; without root (or without Prometheus and no way to install it) the leg says so
# and is skipped (exit 0). VELANTIS_JOBS sets the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build/release

log() { echo "test-metrics: $*"; }

if [ "$(id -u)" -ne 0 ]; then
  log "SKIPPED: the leg runs in a network namespace of its own, which needs root."
  exit 0
fi
command -v prometheus >/dev/null && command -v promtool >/dev/null || scripts/setup.sh prometheus
command -v ss >/dev/null || scripts/setup.sh iproute2
log "$(prometheus --version 2>&1 | head -n 1)"

. scripts/steps.sh

build() { build_programs velantis-server velantis-loadgen; }

# The checker stops what it started itself; the namespace goes away with its last process.
scrape() {
  timeout --kill-after=10 300 unshare --net sh -c 'ip link set lo up && exec "$@"' sh \
    python3 tests/metrics/check_metrics.py --server "$build_dir/velantis-server" \
    --loadgen "$build_dir/tools/velantis-loadgen"
}

step build build
[ $status -eq 0 ] && step "scrape under load and bad input" scrape
exit $status
