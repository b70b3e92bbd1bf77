#!/usr/bin/env bash
# The metrics leg: the real server with --metrics, scraped by Debian's Prometheus while
# velantis-loadgen plays a fixed load and the metrics port takes bad input
# (tests/metrics/check_metrics.py says what is checked). Runs in a network namespace of its own,
# so it needs root; without root (or without Prometheus and no way to install it) the leg says so
# and is skipped (exit 0). VELANTIS_JOBS sets the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build_dir=build/release

skip_unless_root "the leg runs in a network namespace of its own, which needs root."
install_missing prometheus:prometheus promtool:prometheus ss:iproute2
log "$(prometheus --version 2>&1 | head -n 1)"

build() { build_programs velantis-server velantis-loadgen; }

# The checker stops what it started itself; the namespace goes away with its last process.
scrape() {
  in_network_namespace timeout --kill-after=10 300 \
    python3 tests/metrics/check_metrics.py --server "$build_dir/velantis-server" \
    --loadgen "$build_dir/tools/velantis-loadgen"
}

# Each alert fires on the series that mean trouble and stays quiet on a healthy server's.
alerts() {
  promtool check rules packaging/prometheus/velantis-alerts.yml &&
    promtool test rules tests/metrics/velantis-alerts_test.yml
}

step "alert rules" alerts
step build build
if [ "$status" -eq 0 ]; then
  step "scrape under load and bad input" scrape
fi
exit "$status"
