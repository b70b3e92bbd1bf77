#!/usr/bin/env bash
# Measures how many players at 30 Hz (every update relayed to every player) each program carries
# without loss, one after the other on UDP 127.0.0.1:15000, and prints them side by side: this
# tree's velantis-server, the same server with every player asking for snapshots ("snapshots"),
# the same again with `--interest` ("interest": the nearest players every tick, the others in
# turn, one datagram a player a tick), velantis-floor-server, and the same two built from an earlier commit (the baseline) for the
# before/after comparison. Then the server in both modes, and in a mixed world where every other
# player asks for snapshots, at fixed world sizes: bytes each player receives a second, loss and
# the server's CPU per player. Bounded: each search stops itself, the whole run
# keeps to a time budget, and every process it starts is killed on the way out. Run it in a
# network namespace of its own when other programs may use the port:
#   unshare -n sh -c 'ip link set lo up && scripts/run-capacity.sh'
#
# Usage: scripts/run-capacity.sh
# Environment: VELANTIS_CAPACITY_BUILD (build folder, default build/capacity-rel), VELANTIS_JOBS
#              (default 1), VELANTIS_CAPACITY_ROUNDS (rounds of all programs, default 2),
#              VELANTIS_CAPACITY_BASELINE (commit built for "before", default the first
#              release's, from scripts/baseline.sh; empty skips it),
#              VELANTIS_CAPACITY_PROGRAMS (which to load, default
#              "server snapshots interest baseline floor baseline-floor"),
#              VELANTIS_CAPACITY_INTEREST (the interest program's --interest, default 32),
#              VELANTIS_CAPACITY_SNAPSHOT_BUFFER (the --receive-buffer of the programs whose
#              players ask for snapshots, default 4194304: a world of hundreds sends its updates
#              in bursts a default buffer of about 90 packets cannot hold; empty for the default),
#              VELANTIS_CAPACITY_SIZES (players of the fixed worlds of both modes, default
#              "16 64 256"; empty skips them),
#              VELANTIS_CAPACITY_SEARCH_TIME (seconds per search, default 180),
#              VELANTIS_CAPACITY_BUDGET (seconds for all searches, default 1800),
#              VELANTIS_CAPACITY_STEP_SECONDS (sending time per step, default 5),
#              VELANTIS_CAPACITY_FIXED_PLAYERS (players of the fixed-load run that compares CPU
#              per relay below saturation, default 32; 0 skips it).
# The JSON of every run stays in <build>/capacity; scripts/capacity_report.py prints the tables
# at the end and scripts/plot-capacity.py draws them.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# shellcheck source=scripts/baseline.sh
. scripts/baseline.sh

build="${VELANTIS_CAPACITY_BUILD:-$repo/build/capacity-rel}"
jobs="${VELANTIS_JOBS:-1}"
rounds="${VELANTIS_CAPACITY_ROUNDS:-2}"
search_time="${VELANTIS_CAPACITY_SEARCH_TIME:-180}"
budget="${VELANTIS_CAPACITY_BUDGET:-1800}"
step_seconds="${VELANTIS_CAPACITY_STEP_SECONDS:-5}"
fixed_players="${VELANTIS_CAPACITY_FIXED_PLAYERS:-32}"
baseline="${VELANTIS_CAPACITY_BASELINE-$baseline_commit}"
programs="${VELANTIS_CAPACITY_PROGRAMS:-server snapshots interest baseline floor baseline-floor}"
interest="${VELANTIS_CAPACITY_INTEREST:-32}"
snapshot_buffer="${VELANTIS_CAPACITY_SNAPSHOT_BUFFER-4194304}"
sizes="${VELANTIS_CAPACITY_SIZES-16 64 256}"
port=15000

cmake --preset release -B "$build" -DVELANTIS_BUILD_TESTS=OFF -DVELANTIS_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --parallel "$jobs" \
  --target velantis-server velantis-floor-server velantis-loadgen >/dev/null

# The baseline's server and floor server, built from its own tree (exported from git, so the
# working tree and the history stay as they are) in a folder of its own below the build folder.
if [[ -n "$baseline" ]]; then
  base="$build/baseline-$baseline"
  if [[ ! -x "$base/build/velantis-server" || ! -x "$base/build/bench/velantis-floor-server" ]]; then
    rm -rf "$base"
    mkdir -p "$base/src"
    git -C "$repo" archive "$baseline" | tar -x -C "$base/src"
    (cd "$base/src" && cmake --preset release -B "$base/build" -DVELANTIS_BUILD_TESTS=OFF \
      >/dev/null && cmake --build "$base/build" --parallel "$jobs" \
      --target velantis-server velantis-floor-server >/dev/null)
  fi
else
  programs="$(tr ' ' '\n' <<< "$programs" | grep -v '^baseline' | tr '\n' ' ')"
fi

program_path() {
  case "$1" in
    server | snapshots | mixed | interest) echo "$build/velantis-server" ;;
    floor) echo "$build/bench/velantis-floor-server" ;;
    baseline) echo "$base/build/velantis-server" ;;
    baseline-floor) echo "$base/build/bench/velantis-floor-server" ;;
    *) echo "run-capacity: unknown program '$1'" >&2 && exit 2 ;;
  esac
}

results="$build/capacity"
rm -rf "$results"
mkdir -p "$results"

pid=""
data_home=""
cleanup() {
  if [[ -n "$pid" ]]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
  fi
  if [[ -n "$data_home" ]]; then
    rm -rf "$data_home"
    data_home=""
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_port_free() {
  local waited=0
  while scripts/udp-port.py "$port"; do
    if ((waited >= 60)); then
      echo "run-capacity: UDP port $port has been in use by another process for 60 s;" \
        "stop it and run again" >&2
      command -v ss >/dev/null && ss -uanp "sport = :$port" >&2
      exit 1
    fi
    ((waited == 0)) && echo "run-capacity: UDP port $port is in use; waiting up to 60 s" >&2
    sleep 2
    waited=$((waited + 2))
  done
}

# Starts the program, checks it holds the port, loads it with velantis-loadgen (the remaining
# arguments) and stops it again.
measure() {
  local name="$1" program="$2" out="$3" options=()
  shift 3
  [[ $name != interest ]] || options=(--interest "$interest")
  if [[ -n $snapshot_buffer && $name =~ ^(snapshots|mixed|interest)$ ]]; then
    options+=(--receive-buffer "$snapshot_buffer")
  fi
  wait_port_free
  data_home="$(mktemp -d "${TMPDIR:-/tmp}/velantis-capacity.XXXXXX")"
  XDG_DATA_HOME="$data_home" "$program" "${options[@]}" >/dev/null 2>"$out.server-stderr.txt" &
  pid=$!
  local tries=0
  until scripts/udp-port.py "$port" "$pid"; do
    if ! kill -0 "$pid" 2>/dev/null || ((tries >= 50)); then
      echo "run-capacity: $name (pid $pid) did not bind UDP $port; its standard error:" >&2
      cat "$out.server-stderr.txt" >&2
      exit 1
    fi
    sleep 0.1
    tries=$((tries + 1))
  done
  echo "run-capacity: $name (pid $pid) on UDP $port: velantis-loadgen $*" >&2
  local status=0
  timeout --kill-after=10 "$((search_time + 90))" "$build/tools/velantis-loadgen" "$@" \
    --server-pid "$pid" --json >"$out" 2>"$out.loadgen-stderr.txt" || status=$?
  cleanup
  if ((status != 0)); then
    echo "run-capacity: velantis-loadgen against $name ended with status $status;" \
      "see $out.loadgen-stderr.txt" >&2
    exit 1
  fi
}

# The load generator's options for a program, in `mode`: its players ask for snapshots, or not.
mode=()
set_mode() {
  mode=()
  if [[ $1 == snapshots || $1 == interest ]]; then mode=(--snapshots); fi
  if [[ $1 == mixed ]]; then mode=(--snapshots --mixed); fi
}

# How busy the machine was: the load average before and after, beside the figures.
uptime >"$results/load-before.txt"
count=$(wc -w <<< "$programs")
start=$SECONDS
completed=0
for round in $(seq 1 "$rounds"); do
  # All searches of a round must fit, with time for connecting and disconnecting.
  if ((round > 1 && SECONDS - start + count * (search_time + 30) + 60 > budget)); then
    echo "run-capacity: time budget of $budget s reached; $completed round(s) done" >&2
    break
  fi
  search=(--find-capacity --start 8 --duration "$step_seconds" --max-time "$search_time")
  for name in $programs; do
    set_mode "$name"
    measure "$name" "$(program_path "$name")" "$results/$name-$round.json" "${search[@]}" \
      "${mode[@]}"
  done
  if ((fixed_players > 0)); then
    fixed=(--players "$fixed_players" --duration 10)
    for name in $programs; do
      set_mode "$name"
      measure "$name" "$(program_path "$name")" "$results/$name-fixed-$round.json" "${fixed[@]}" \
        "${mode[@]}"
    done
  fi
  for players in $sizes; do
    for name in server snapshots mixed interest; do
      set_mode "$name"
      measure "$name" "$(program_path "$name")" "$results/$name-size-$players-$round.json" \
        --players "$players" --duration "$step_seconds" "${mode[@]}"
    done
  done
  completed=$round
done
uptime >"$results/load-after.txt"

scripts/capacity_report.py "$results" "$completed" "$programs" "$sizes"
