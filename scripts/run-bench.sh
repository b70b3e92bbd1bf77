#!/usr/bin/env bash
# Builds the benchmarks (release preset: RelWithDebInfo) and runs them all once, bounded, then
# prints the table kept in bench/README.md: medians over a few repetitions, server beside floor.
#
# Usage: scripts/run-bench.sh [results.json]
# Environment: VELANTIS_BENCH_BUILD (build folder, default build/bench-rel), VELANTIS_JOBS
#              (default 1), VELANTIS_BENCH_MIN_TIME (seconds per benchmark, default 0.2),
#              VELANTIS_BENCH_REPETITIONS (default 5).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELANTIS_BENCH_BUILD:-$root/build/bench-rel}"
jobs="${VELANTIS_JOBS:-1}"
min_time="${VELANTIS_BENCH_MIN_TIME:-0.2}"
repetitions="${VELANTIS_BENCH_REPETITIONS:-5}"
results="${1:-$build/bench-results.json}"

cd "$root"
cmake --preset release -B "$build" -DVELANTIS_BUILD_TESTS=OFF -DVELANTIS_BUILD_TOOLS=OFF > /dev/null
cmake --build "$build" --target velantis-bench --parallel "$jobs" > /dev/null

# The benchmark prints its own table on standard error; standard output carries only the
# server's console lines, which it sends to the null device itself.
timeout --kill-after=10 900 "$build/bench/velantis-bench" \
  --benchmark_min_time="$min_time" --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results" --benchmark_out_format=json 2> "$build/bench-console.txt"

python3 - "$results" << 'PY'
import json, sys

with open(sys.argv[1]) as f:
    data = json.load(f)
medians = {}
for b in data["benchmarks"]:
    if b.get("aggregate_name") == "median":
        medians[b["run_name"].replace("/manual_time", "")] = b

def us(name):
    b = medians[name]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
    return b["real_time"] * scale

ctx = data["context"]
repetitions = data["benchmarks"][0].get("repetitions", 1)
print(f"{ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz, {ctx['date']}, "
      f"median of {repetitions} repetitions")
print()
print("| What | Server | Floor | Server / floor |")
print("|---|---|---|---|")
cs, ref = medians["BM_PacketChecksum"], medians["BM_ReferenceFnv1aLoop"]
print(f"| Checksum of one packet (1056 bytes) | {us('BM_PacketChecksum'):.2f} us, "
      f"{cs['bytes/ns']:.3f} bytes/ns | reference FNV-1a loop: {us('BM_ReferenceFnv1aLoop'):.2f} us, "
      f"{ref['bytes/ns']:.3f} bytes/ns | {us('BM_PacketChecksum') / us('BM_ReferenceFnv1aLoop'):.2f} |")
for n in (2, 4, 9, 65):
    b = medians[f"BM_PacketChecksums/{n}"]
    print(f"| Checksums of {n} packets in one interleaved pass | {us(f'BM_PacketChecksums/{n}'):.2f} us, "
          f"{us(f'BM_PacketChecksums/{n}') / n:.2f} us per packet | {n} one at a time: "
          f"{n * us('BM_PacketChecksum'):.2f} us | "
          f"{us(f'BM_PacketChecksums/{n}') / (n * us('BM_PacketChecksum')):.2f} |")
print(f"| One log record of ten lines (LogsManager Write, append) | {us('BM_LogsManagerWrite'):.2f} us | "
      f"open-append-close: {us('BM_FloorLogWrite'):.2f} us | "
      f"{us('BM_LogsManagerWrite') / us('BM_FloorLogWrite'):.2f} |")
print(f"| One console line (written and flushed) | {us('BM_ConsoleLine'):.2f} us | "
      f"one write(2): {us('BM_FloorConsoleLine'):.2f} us | "
      f"{us('BM_ConsoleLine') / us('BM_FloorConsoleLine'):.2f} |")
print(f"| One reply sent from the server's socket | {us('BM_ReplySend'):.2f} us | "
      f"sendto, 1 console write: {us('BM_FloorSend'):.2f} us | "
      f"{us('BM_ReplySend') / us('BM_FloorSend'):.2f} |")
for n in (1, 8, 64):
    server, floor = f"BM_ServerRelay/{n}", f"BM_FloorRelay/{n}"
    print(f"| Receive to relay, fan-out {n} (wall, run apart) | {us(server):.1f} us, "
          f"{medians[server]['allocs/packet']:.0f} allocations | {us(floor):.1f} us | "
          f"{us(server) / us(floor):.2f} |")
for n in (1, 8, 64):
    p = medians[f"BM_ServerOverFloor/{n}"]
    print(f"| Receive to relay, fan-out {n} (CPU, interleaved) | {p['server_cpu_us']:.1f} us | "
          f"{p['floor_cpu_us']:.1f} us | {p['cpu_ratio']:.3f} (wall {p['wall_ratio']:.3f}) |")
print()
print("Server CPU time beyond the floor, and what is left after the checksums the floor does not")
print("compute (one verification, plus one seal per recipient, in one interleaved pass):")
print()
print("| Fan-out | Server - floor | (fan-out + 1) checksums | Left |")
print("|---|---|---|---|")
for n in (1, 8, 64):
    p = medians[f"BM_ServerOverFloor/{n}"]
    gap = p["server_cpu_us"] - p["floor_cpu_us"]
    sums = us(f"BM_PacketChecksums/{n + 1}")
    print(f"| {n} | {gap:.1f} us | {sums:.1f} us | {gap - sums:.1f} us "
          f"({100 * (gap - sums) / p['floor_cpu_us']:.1f}% of the floor) |")
PY
