#!/usr/bin/env bash
# The arm64 leg: the server, the tools and the client library cross-built for arm64 Linux
# (aarch64) and run under qemu-user on this machine.
#
#   build      the arm64 preset (cmake/aarch64-linux-gnu.cmake): programs, tests, manual pages
#   unit       the GoogleTest suites and the fuzz corpora replayed, under qemu-user through CTest
#   e2e        the end-to-end suites (tests/e2e/run_e2e.py) against the arm64 server under qemu
#   packages   velantis-server, libvelantis-client1 and libvelantis-client-dev for arm64 from
#              the same cpack: architecture, dependencies (cross dpkg-shlibdeps), shlibs, every
#              program an arm64 one, lintian as the amd64 packages are linted, contents listed
#   c          tests/client/two_players.c compiled against the unpacked library packages
#              (pkg-config), two players through the arm64 library against the packaged server
#
# Everything that sends a datagram runs in a private network namespace, so nothing here touches
# a port of the machine. Timing under qemu means nothing: no benchmark runs here.
#
# Needs root (apt-get for the cross compiler, qemu-user and the arm64 libraries that
# dpkg-shlibdeps reads; namespaces); without it the leg is skipped and says so.
# VELANTIS_JOBS sets the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build=$repo/build/arm64
unpacked=$build/unpacked
triplet=aarch64-linux-gnu

skip_unless_root "the leg needs root (apt-get, network namespaces)."
# The arm64 libraries are what dpkg-shlibdeps reads the packages' dependencies from, with the
# cross toolchain's objdump; qemu-user runs the programs.
timeout 900 scripts/setup.sh g++-$triplet qemu-user googletest lintian dpkg-dev help2man \
  pkg-config iproute2 libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64
# The programs run on those arm64 runtimes, as on an arm64 Debian machine, and never on a mix of
# them and the cross toolchain's (see cmake/aarch64-linux-gnu.cmake).
[ -e /lib/ld-linux-aarch64.so.1 ] || { log "FAILED: libc6:arm64 is not installed"; exit 1; }

build() {
  cmake --preset arm64 >/dev/null && timeout 1800 cmake --build --preset arm64 -j "$jobs"
}

unit() {
  in_network_namespace timeout 1800 ctest --preset arm64 -j "$jobs"
}

# The harness starts the program it is given with the server's options: a wrapper that runs the
# arm64 server under qemu-user (it execs, so the harness's process is the server's).
end_to_end() {
  local wrapper=$build/qemu/velantis-server
  mkdir -p "$build/qemu"
  printf '#!/bin/sh\nexec qemu-aarch64 %s "$@"\n' "$build/velantis-server" >"$wrapper"
  chmod +x "$wrapper"
  in_network_namespace timeout 1800 python3 tests/e2e/run_e2e.py --emulated --server "$wrapper"
}

packages() {
  local deb name elf elves machine runtime
  rm -f "$build"/*.deb
  (cd "$build" && timeout 600 cpack -G DEB >/dev/null) || return 1
  for name in velantis-server libvelantis-client1 libvelantis-client-dev; do
    deb=$(echo "$build/${name}"_*_arm64.deb)
    expect "$name's arm64 package is made" test -f "$deb" || return 1
    expect "$name's Architecture is arm64" test "$(dpkg-deb -f "$deb" Architecture)" = arm64
    log "  $(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
    dpkg-deb -c "$deb" | awk '{print "    " $6 ($7 ? " " $7 " " $8 : "")}'
  done
  # Dependencies as dpkg-shlibdeps found them in Debian's arm64 libraries.
  expect "velantis-server depends on libc6 and libstdc++6 by version" grep -q -E \
    'libc6 \(>= [0-9.]+\).*libstdc\+\+6 \(>= [0-9.]+\)' \
    <<<"$(dpkg-deb -f "$build"/velantis-server_*_arm64.deb Depends)"
  runtime=$(echo "$build"/libvelantis-client1_*_arm64.deb)
  expect "libvelantis-client1 depends on libc6 by version" grep -q -E 'libc6 \(>= [0-9.]+\)' \
    <<<"$(dpkg-deb -f "$runtime" Depends)"
  expect "libvelantis-client1 has a shlibs file naming itself" test \
    "$(dpkg-deb -I "$runtime" shlibs)" = \
    "libvelantis-client 1 libvelantis-client1 (>= $(dpkg-deb -f "$runtime" Version))"

  rm -rf "$unpacked"
  for deb in "$build"/*_arm64.deb; do dpkg-deb -x "$deb" "$unpacked"; done
  # Every ELF file the packages hold (the three programs and the library) is an arm64 one.
  elves=$(find "$unpacked" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
  expect "the packages hold four ELF files" test "$(grep -c . <<<"$elves")" = 4
  while IFS= read -r elf; do
    machine=$(readelf -h "$elf" | sed -n 's/^ *Machine: *//p')
    expect "${elf#"$unpacked"} is an AArch64 program or library" test "$machine" = AArch64
  done <<<"$elves"
  expect "the library is in Debian's arm64 multiarch folder" \
    test -f "$unpacked/usr/lib/$triplet/libvelantis-client.so.1"

  lint_debs "$build/lintian.txt" "$build"/*_arm64.deb
}

# Two players through the packaged arm64 library, built as a game developer would build against
# the installed packages, against the packaged arm64 server.
c_two_players() {
  local program=$build/qemu/two_players-packaged
  expect "the packages were unpacked" test -f "$unpacked/usr/include/velantis/client.h" ||
    return 1
  # pkg-config of the unpacked packages, their paths below the unpacked root.
  # shellcheck disable=SC2046
  "$triplet-gcc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$program" \
    tests/client/two_players.c $(PKG_CONFIG_SYSROOT_DIR=$unpacked \
    PKG_CONFIG_LIBDIR=$unpacked/usr/lib/$triplet/pkgconfig pkg-config --cflags --libs \
    velantis-client) || return 1
  server_runner=qemu-aarch64 with_server "$unpacked/usr/bin/velantis-server" \
    qemu-aarch64 -E "LD_LIBRARY_PATH=$unpacked/usr/lib/$triplet" "$program"
}

start=$SECONDS
step build build
if [ "$status" -eq 0 ]; then
  step unit unit
  step e2e end_to_end
  step packages packages
  step c c_two_players
fi
log "arm64 leg took $((SECONDS - start)) s"
exit "$status"
