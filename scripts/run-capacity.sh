#!/usr/bin/env bash
# Measures how many players at 30 Hz (every update relayed to every player) velantis-server and
# velantis-floor-server each carry without loss, alternately, on UDP 127.0.0.1:15000, and prints
# them side by side. Bounded: each search stops itself, the whole run keeps to a time budget, and
# every process it starts is killed on the way out.
#
# Usage: scripts/run-capacity.sh
# Environment: VELANTIS_CAPACITY_BUILD (build folder, default build/capacity-rel), VELANTIS_JOBS
#              (default 1), VELANTIS_CAPACITY_ROUNDS (server+floor pairs, default 2),
#              VELANTIS_CAPACITY_SEARCH_TIME (seconds per search, default 180),
#              VELANTIS_CAPACITY_BUDGET (seconds for all searches, default 840),
#              VELANTIS_CAPACITY_STEP_SECONDS (sending time per step, default 5),
#              VELANTIS_CAPACITY_FIXED_PLAYERS (players of the fixed-load run that compares CPU
#              per relay below saturation, default 40; 0 skips it).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELANTIS_CAPACITY_BUILD:-$root/build/capacity-rel}"
jobs="${VELANTIS_JOBS:-1}"
rounds="${VELANTIS_CAPACITY_ROUNDS:-2}"
search_time="${VELANTIS_CAPACITY_SEARCH_TIME:-180}"
budget="${VELANTIS_CAPACITY_BUDGET:-840}"
step_seconds="${VELANTIS_CAPACITY_STEP_SECONDS:-5}"
fixed_players="${VELANTIS_CAPACITY_FIXED_PLAYERS:-40}"
port=15000

cd "$root"
cmake --preset release -B "$build" -DVELANTIS_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --parallel "$jobs" \
  --target velantis-server velantis-floor-server velantis-loadgen > /dev/null

results="$build/capacity"
rm -rf "$results"
mkdir -p "$results"

pid=""
data_home=""
cleanup() {
  if [[ -n "$pid" ]]; then
    kill "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
    pid=""
  fi
  if [[ -n "$data_home" ]]; then
    rm -rf "$data_home"
    data_home=""
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Inodes of the UDP sockets (IPv4 or IPv6) bound to the port: local address, then port in hex.
port_inodes() {
  awk -v port="$(printf ':%04X' "$port")" \
    'FNR > 1 && substr($2, length($2) - 4) == port { print $10 }' /proc/net/udp /proc/net/udp6
}

# True when process $1 holds a socket bound to the port.
owns_port() {
  local inode
  for inode in $(port_inodes); do
    if ls -l "/proc/$1/fd" 2> /dev/null | grep -q "socket:\[$inode\]"; then return 0; fi
  done
  return 1
}

wait_port_free() {
  local waited=0
  while [[ -n "$(port_inodes)" ]]; do
    if ((waited >= 60)); then
      echo "run-capacity: UDP port $port has been in use by another process for 60 s;" \
        "stop it and run again" >&2
      command -v ss > /dev/null && ss -uanp "sport = :$port" >&2
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
  local name="$1" program="$2" out="$3"
  shift 3
  wait_port_free
  data_home="$(mktemp -d "${TMPDIR:-/tmp}/velantis-capacity.XXXXXX")"
  XDG_DATA_HOME="$data_home" "$program" > /dev/null 2> "$out.server-stderr.txt" &
  pid=$!
  local tries=0
  until owns_port "$pid"; do
    if ! kill -0 "$pid" 2> /dev/null || ((tries >= 50)); then
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
    --server-pid "$pid" --json > "$out" 2> "$out.loadgen-stderr.txt" || status=$?
  cleanup
  if ((status != 0)); then
    echo "run-capacity: velantis-loadgen against $name ended with status $status;" \
      "see $out.loadgen-stderr.txt" >&2
    exit 1
  fi
}

start=$SECONDS
completed=0
for round in $(seq 1 "$rounds"); do
  # Both searches of a round must fit, with time for connecting and disconnecting.
  if ((round > 1 && SECONDS - start + 2 * (search_time + 30) + 60 > budget)); then
    echo "run-capacity: time budget of $budget s reached; $completed round(s) done" >&2
    break
  fi
  search=(--find-capacity --start 8 --duration "$step_seconds" --max-time "$search_time")
  measure velantis-server "$build/velantis-server" "$results/server-$round.json" "${search[@]}"
  measure velantis-floor-server "$build/bench/velantis-floor-server" \
    "$results/floor-$round.json" "${search[@]}"
  if ((fixed_players > 0)); then
    fixed=(--players "$fixed_players" --duration 10)
    measure velantis-server "$build/velantis-server" "$results/server-fixed-$round.json" \
      "${fixed[@]}"
    measure velantis-floor-server "$build/bench/velantis-floor-server" \
      "$results/floor-fixed-$round.json" "${fixed[@]}"
  fi
  completed=$round
done

python3 - "$results" "$completed" << 'PY'
import json, statistics, sys

folder, rounds = sys.argv[1], int(sys.argv[2])

def cpu_per_relay(run):
    cpu = run["serverCpuSeconds"]
    return 1e6 * cpu / run["received"] if cpu is not None and run["received"] else None

def best(path):
    with open(path) as f:
        data = json.load(f)
    b = data["largestLossFree"]
    if b is None:
        return None
    wall = b["sendSeconds"] + b["drainSeconds"]
    cpu = b["serverCpuSeconds"]
    return {
        "players": b["players"],
        "relays": b["offeredRelaysPerSecond"],
        "cpu": 100.0 * cpu / wall if cpu is not None and wall > 0 else None,
        "us_per_relay": cpu_per_relay(b),
        "p99": b["latencyP99Ms"],
        "lossy": min((r["players"] for r in data["runs"] if not r["lossFree"]), default=None),
    }

def cell(r):
    if r is None:
        return "none loss-free | - | - | -"
    lossy = f", lost at {r['lossy']}" if r["lossy"] else ""
    cpu = f"{r['cpu']:.0f}%" if r["cpu"] is not None else "-"
    per = f"{r['us_per_relay']:.1f} us" if r["us_per_relay"] is not None else "-"
    return f"{r['players']}{lossy} | {r['relays']:.0f} | {cpu} | {per}"

print("Largest loss-free number of players at 30 Hz, every update relayed to every player;")
print("relays/s out, the program's CPU (% of one core) and its CPU per relay at that load.")
print()
print("| Round | Server: players | relays/s | CPU | CPU/relay "
      "| Floor: players | relays/s | CPU | CPU/relay | Server / floor (players) |")
print("|---|---|---|---|---|---|---|---|---|---|")
ratios, servers, floors = [], [], []
for k in range(1, rounds + 1):
    s = best(f"{folder}/server-{k}.json")
    f = best(f"{folder}/floor-{k}.json")
    ratio = s["players"] / f["players"] if s and f else None
    if s: servers.append(s["players"])
    if f: floors.append(f["players"])
    if ratio: ratios.append(ratio)
    print(f"| {k} | {cell(s)} | {cell(f)} | {f'{ratio:.2f}' if ratio else '-'} |")
if servers and floors:
    print()
    print(f"Median players: server {statistics.median(servers):g}, "
          f"floor {statistics.median(floors):g}, "
          f"ratio {statistics.median(servers) / statistics.median(floors):.2f}")

fixed = []
for k in range(1, rounds + 1):
    try:
        runs = [json.load(open(f"{folder}/{name}-fixed-{k}.json"))["run"]
                for name in ("server", "floor")]
        fixed.append((k, *runs))
    except FileNotFoundError:
        pass
if fixed:
    print()
    print("CPU per relay at a fixed load below both capacities:")
    print()
    print("| Round | Load | Server: lost | CPU | CPU/relay | Floor: lost | CPU | CPU/relay "
          "| Server / floor (CPU per relay) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for k, s, f in fixed:
        def part(r):
            wall = r["sendSeconds"] + r["drainSeconds"]
            return (f"{r['lost']} | {100 * r['serverCpuSeconds'] / wall:.0f}% | "
                    f"{cpu_per_relay(r):.2f} us")
        print(f"| {k} | {s['players']} x {s['rate']:g} Hz | {part(s)} | {part(f)} | "
              f"{cpu_per_relay(s) / cpu_per_relay(f):.3f} |")
PY
