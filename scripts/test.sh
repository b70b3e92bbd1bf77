#!/usr/bin/env bash
# Builds and runs every test: formatting and lint, the debug suite (unit, in-process and
# end-to-end), the same suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, the soak, the fuzz targets, the game played across address-translating
# routers, hostile traffic forged in network namespaces (relay loops, Connect floods, oversized
# datagrams, scrape floods), the Wireshark dissector read by tshark, the metrics endpoint scraped
# by Prometheus under load, the Debian package installed and driven under systemd in a container
# booted for it, the container image run with podman (published port, namespace, stop, a
# Kubernetes pod), the README followed command by command from install to purge, the client
# library (C, C#, a lossy path, its packages), the Windows build with its suite and installer
# under Wine, and the arm64 build with its suites, a C round trip and its packages under qemu-user.
#
# VELANTIS_LEGS picks legs (default: all), e.g. VELANTIS_LEGS="format debug" scripts/test.sh
# VELANTIS_FUZZ_SECONDS sets each fuzz target's run (default 60).
# VELANTIS_BUSY=1 runs two CPU-bound processes at normal priority beside the legs for the whole
# run, as other work on a shared machine would: every leg must pass so too. They are stopped when
# the run ends, fails or is interrupted.
# At the end a table gives each leg's result and time, and the total.
set -euo pipefail
cd "$(dirname "$0")/.."

legs=${VELANTIS_LEGS:-"format debug asan tsan soak fuzz nat attack dissector metrics package container docs client windows arm64"}

log() { echo "=== $*"; }
# shellcheck source=scripts/steps.sh
. scripts/steps.sh

wants() { [[ " $legs " == *" $1 "* ]]; }
summary=()
leg() {
  local begin=$SECONDS result=passed
  echo
  echo "=== $1"
  step "$@" || true
  [[ " ${failed_steps[*]} " == *" $1 "* ]] && result=FAILED
  summary+=("$(printf '%-10s %-7s %6d s' "$1" "$result" $((SECONDS - begin)))")
}

busy=()
stop_busy() {
  local pid
  for pid in "${busy[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  busy=()
}
if [ "${VELANTIS_BUSY:-0}" = 1 ]; then
  trap stop_busy EXIT
  trap 'stop_busy; exit 130' INT
  trap 'stop_busy; exit 143' TERM
  for _ in 1 2; do
    # Each also ends by itself once this script has gone, even killed beyond any trap.
    # shellcheck disable=SC2016 # the inner script expands its own variables
    sh -c 'while kill -0 "$1" 2>/dev/null; do
      i=0
      while [ $i -lt 200000 ]; do i=$((i + 1)); done
    done' busy $$ </dev/null >/dev/null 2>&1 &
    busy+=($!)
  done
  log "busy mode: two CPU-bound processes (${busy[*]}) run beside the legs"
fi

# The suites bind fixed ports (UDP 15000, the metrics port): as root they run in a network
# namespace of their own, so that other servers on a shared machine are no matter, and each
# end-to-end suite in one of its own again, so that they need not wait for each other's port.
suite() {  # configure preset, test preset
  local private=() isolated=OFF
  [ "$(id -u)" -ne 0 ] || { private=(in_network_namespace) && isolated=ON; }
  cmake --preset "$1" -DVELANTIS_E2E_NAMESPACES=$isolated >/dev/null &&
    cmake --build --preset "$1" -j "$jobs" &&
    "${private[@]}" ctest --preset "$2" -j "$jobs"
}

# The shell scripts of the tree: a .sh name, or a shell's #! line (the packaged scripts and the
# Debian maintainer scripts have no extension). Every Python file's name ends in .py.
shell_scripts() {
  local file
  git ls-files | while read -r file; do
    if [[ $file == *.sh ]] || head -n 1 "$file" | grep -qE '^#! */(usr/)?bin/(env )?(ba|da)?sh'; then
      echo "$file"
    fi
  done
}

format_check() {
  # Debian's flake8 is a module of the system's interpreter, which may not be the first python3.
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror &&
    shell_scripts | xargs shellcheck &&
    git ls-files '*.py' | xargs /usr/bin/python3 -m flake8 &&
    scripts/check-doc-links.py &&
    scripts/check-doc-figures.py
}

scripts/setup.sh

wants format && leg format format_check
wants debug && leg debug suite debug debug
wants asan && leg asan suite asan asan
wants tsan && leg tsan suite tsan tsan
wants soak && leg soak suite release soak
wants fuzz && leg fuzz scripts/run-fuzz.sh "${VELANTIS_FUZZ_SECONDS:-60}"
wants nat && leg nat scripts/test-nat.sh
wants attack && leg attack scripts/test-attack.sh
wants dissector && leg dissector scripts/test-dissector.sh
wants metrics && leg metrics scripts/test-metrics.sh
wants package && leg package scripts/test-package.sh
wants container && leg container scripts/test-container.sh
wants docs && leg docs scripts/test-docs.sh
wants client && leg client scripts/test-client.sh
wants windows && leg windows scripts/test-windows.sh
wants arm64 && leg arm64 scripts/test-arm64.sh

stop_busy
echo
printf '%s\n' "${summary[@]}"
printf '%-10s %-7s %6d s\n' total "" "$SECONDS"
echo
if [ ${#failed_steps[@]} -gt 0 ]; then
  echo "FAILED legs: ${failed_steps[*]}"
  exit 1
fi
echo "all legs passed: $legs"
