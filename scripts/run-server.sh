#!/usr/bin/env bash
# Builds the server in release mode and starts it on UDP port 15000 (it runs until it is stopped: Ctrl+C or SIGTERM).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/server -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELANTIS_BUILD_TESTS=OFF \
  -DVELANTIS_BUILD_TOOLS=ON >/dev/null
cmake --build build/server
exec build/server/velantis-server
