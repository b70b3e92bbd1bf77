#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the "fuzz" preset) and runs each one for a bounded time,
# starting from the seed corpus, all at once (each fuzzer is one process on one core). Prints executions per second and total executions per target and
# fails when a target crashed; every crashing input is copied to fuzz/regressions/<target>/, where
# the CTest replay of the corpora (fuzz.replay.<target>) keeps running it from then on.
#
# Usage: scripts/run-fuzz.sh [seconds per target, default 60] [target...]
# Environment: VELANTIS_FUZZ_BUILD (build folder, default build/fuzz), VELANTIS_JOBS (default 2),
#              VELANTIS_FUZZ_RSS_MB (memory limit per target, default 2048).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(receive roundtrip); fi

build="${VELANTIS_FUZZ_BUILD:-$repo/build/fuzz}"
jobs="${VELANTIS_JOBS:-2}"
rss="${VELANTIS_FUZZ_RSS_MB:-2048}"

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --parallel "$jobs" >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/velantis-fuzz-run.XXXXXX")"
trap 'rm -rf "$work"' EXIT

declare -A fuzzers
for target in "${targets[@]}"; do
  binary="$build/fuzz/velantis-fuzz-$target"
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  # The fuzzer stops itself after max_total_time; the outer timeout only guards against a hang.
  timeout --kill-after=10 "$((seconds + 60))" "$binary" \
    -max_total_time="$seconds" -rss_limit_mb="$rss" -timeout=10 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
    "$work/$target/corpus" "$repo/fuzz/corpus/$target" >"$work/$target/log" 2>&1 &
  fuzzers[$target]=$!
done

failed=0
printf '%-10s %12s %16s %8s\n' target exec/s executions result
for target in "${targets[@]}"; do
  status=0
  wait "${fuzzers[$target]}" || status=$?

  executions="$(awk '/stat::number_of_executed_units/ {print $2}' "$work/$target/log")"
  rate="$(awk '/stat::average_exec_per_sec/ {print $2}' "$work/$target/log")"
  result=ok
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/$target/artifacts")" ]; then
    result=FAILED
    failed=1
    mkdir -p "$repo/fuzz/regressions/$target"
    cp "$work/$target/artifacts/"* "$repo/fuzz/regressions/$target/" 2>/dev/null || true
  fi
  printf '%-10s %12s %16s %8s\n' "$target" "${rate:-?}" "${executions:-?}" "$result"
  if [ "$result" = FAILED ]; then
    echo "--- $target: exit status $status; last lines of the fuzzer's report:" >&2
    tail -n 40 "$work/$target/log" >&2
    echo "--- crashing inputs copied to fuzz/regressions/$target/" >&2
  fi
done
exit "$failed"
