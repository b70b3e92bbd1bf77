#!/usr/bin/env bash
# Builds the benchmarks (release preset: RelWithDebInfo) and runs them all once, bounded, then
# prints the table kept in bench/README.md (scripts/bench_report.py): medians over a few
# repetitions, server beside floor.
#
# Usage: scripts/run-bench.sh [results.json]
# Environment: VELANTIS_BENCH_BUILD (build folder, default build/bench-rel), VELANTIS_JOBS
#              (default 1), VELANTIS_BENCH_MIN_TIME (seconds per benchmark, default 0.2),
#              VELANTIS_BENCH_REPETITIONS (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build="${VELANTIS_BENCH_BUILD:-$repo/build/bench-rel}"
jobs="${VELANTIS_JOBS:-1}"
min_time="${VELANTIS_BENCH_MIN_TIME:-0.2}"
repetitions="${VELANTIS_BENCH_REPETITIONS:-5}"
results="${1:-$build/bench-results.json}"

cmake --preset release -B "$build" -DVELANTIS_BUILD_TESTS=OFF -DVELANTIS_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target velantis-bench --parallel "$jobs" >/dev/null

# The benchmark prints its own table on standard error; standard output carries only the
# server's console lines, which it sends to the null device itself.
timeout --kill-after=10 900 "$build/bench/velantis-bench" \
  --benchmark_min_time="$min_time" --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results" --benchmark_out_format=json 2>"$build/bench-console.txt"

scripts/bench_report.py "$results"
