#!/usr/bin/env bash
# The Windows leg: cross-compiles the server, its tests and tools for 64-bit Windows with
# mingw-w64, runs the GoogleTest suite under Wine through CTest, then runs the real server .exe
# under Wine and talks to it over loopback UDP (tests/wine/wine_e2e.py).
#
# Everything Wine touches lives in a fresh temporary prefix that is deleted at the end. The
# prefix's user has a non-ASCII name, so the data folder the server logs to is one too.
#
# VELANTIS_JOBS sets the build's parallelism (default 2). Exits 0 when every step passed, or when
# the tools are missing and cannot be installed because this is not root (the leg is skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
jobs=${VELANTIS_JOBS:-2}
build_dir=$repo/build/mingw

log() { echo "test-windows: $*"; }

find_wine() {
  local candidate
  for candidate in "$(command -v wine64 || true)" /usr/lib/wine/wine64 "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

find_wineserver() {
  local candidate
  for candidate in "$(command -v wineserver || true)" /usr/lib/wine/wineserver64 \
    /usr/lib/wine/wineserver; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
find_wine >/dev/null || missing+=(wine64)
# GoogleTest is built from its sources for Windows; the tools' header-only libraries are the
# host's own.
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
[ -f /usr/include/CLI/CLI.hpp ] || missing+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v python3 >/dev/null || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    log "SKIPPED: ${missing[*]} not installed, and installing needs root and apt-get."
    log "Install them (apt-get install ${missing[*]}) to run the Windows leg."
    exit 0
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! timeout 600 apt-get install -y --no-install-recommends "${missing[@]}" </dev/null; then
    timeout 300 apt-get update </dev/null
    timeout 600 apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
  fi
fi
for tool in cmake ninja python3 timeout x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { log "FAILED: $tool is needed"; exit 1; }
done
[ -f /usr/src/googletest/CMakeLists.txt ] || { log "FAILED: no GoogleTest sources"; exit 1; }
wine=$(find_wine) || { log "FAILED: no wine64 or wine"; exit 1; }
wineserver=$(find_wineserver) || { log "FAILED: no wineserver beside $wine"; exit 1; }

# A quiet, throw-away prefix: no debug channels, no Mono or Gecko install prompts, no desktop
# integration. Wine names the profile folder after $USER.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velantis-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
user_name="Jos$(printf '\303\251') Tester"
export WINEARCH=win64 LC_ALL=C.UTF-8 USER="$user_name" LOGNAME="$user_name"
export VELANTIS_WINE=$wine VELANTIS_WINE_FRESH_DATA=1

cleanup() {
  timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

start=$SECONDS
log "wine: $wine ($("$wine" --version 2>/dev/null || echo unknown version)), prefix: $WINEPREFIX"

# The wine server is kept running for the whole leg, and the prefix's background services are
# started now with no standard streams: started later by a test, they would inherit its output
# pipes and keep CTest waiting for them to close.
"$wineserver" -p </dev/null >/dev/null 2>&1
timeout 300 "$wine" wineboot.exe -i </dev/null >/dev/null 2>&1 || {
  log "FAILED: wineboot did not finish"
  exit 1
}
# GoogleTest's output capture creates its files through the ANSI temp-folder call, which cannot
# name a folder below a non-ASCII profile; give the prefix an ASCII temp folder.
for variable in TEMP TMP; do
  timeout 60 "$wine" reg.exe add 'HKCU\Environment' /v "$variable" /t REG_SZ \
    /d 'C:\windows\temp' /f </dev/null >/dev/null 2>&1
done
log "prefix ready in $((SECONDS - start)) s"

status=0
step() {
  local name=$1
  shift
  local begin=$SECONDS
  if "$@"; then
    log "$name passed in $((SECONDS - begin)) s"
  else
    log "$name FAILED after $((SECONDS - begin)) s"
    status=1
  fi
}

build() {
  cmake --preset mingw -DVELANTIS_WINE="$wine" >/dev/null &&
    timeout 900 cmake --build --preset mingw -j "$jobs"
}

step build build
if [ $status -eq 0 ]; then
  # One test at a time: every test process of the prefix shares the same AppData folder.
  step ctest timeout 900 ctest --preset mingw -j 1
  step end-to-end timeout 300 python3 tests/wine/wine_e2e.py \
    --server "$build_dir/velantis-server.exe" --client "$build_dir/tools/velantis-client.exe" \
    --wine "$wine"
fi

log "Windows leg took $((SECONDS - start)) s"
exit $status
