#!/usr/bin/env bash
# The client leg: the client library as game developers get it.
#
#   exports      libvelantis-client.so.1 has that SONAME and exports velantis_* and nothing else
#   c            two players through the C API against the real server (tests/client/two_players.c)
#   liveness     8 players through a server restart (CONNECTION_LOST, welcomed again, the times),
#                PLAYER_LEFT for a player gone without a Disconnect, forged datagrams from other
#                addresses and ports dropped and counted, text, random ids (tests/client/liveness.c)
#   csharp       the same through the C# binding under mono (tests/client/TwoPlayers.cs), with
#                non-ASCII text both ways, stale event text refused, the documented frame loop,
#                Dispose disconnecting
#   paths        an IPv6-only namespace with DNS64 (unbound) and NAT64 (tayga) plays by host name;
#                localhost and /etc/hosts names; an idle player behind a masquerading router with a
#                3 s UDP conntrack timeout keeps receiving (tests/client/paths.py)
#   lossy        ten players connect through a router dropping 30% each way, and one whose only
#                lost datagram is its Welcome (tests/client/lossy_connect.py, network namespaces)
#   relayed      games through a user-space relay that drops, delays and reorders: a reordered
#                Disconnect, an outage, keep-alive text, chat lines at 20% loss, late updates,
#                names for a late joiner, forged copies hiding a kick (tests/client/relayed.py)
#   docs         the C and C# game loops of docs/client-library.md, as they stand there, against
#                the server: each sends one update a frame and takes 3 s for its 90 frames
#   packages     libvelantis-client1 and libvelantis-client-dev: lintian, installed with dpkg,
#                examples/ built against them with find_package and with pkg-config, two bots
#                run against the server, then both packages purged (not installed where either
#                is installed already)
#   arena        examples/ built with find_package against the library installed into a folder;
#                the SDL2 arena under Xvfb with four bots: the dots, colours and names drawn where
#                the players' positions say (tests/client/arena.py)
#   unity        the Windows x64 and Linux arm64 libraries cross-built (the library target alone,
#                in build/unity-*), the velantis-unity-package target, and the package read as
#                Unity would: manifest, assembly definition, .meta import settings against each
#                binary's machine and exports, Runtime/ compiled with mcs and run on the Linux
#                plug-in under mono (tests/client/unity_package.py)
#
# Servers run in private network namespaces, so nothing here touches a port of the machine.
# Everything but the exports check needs root (namespaces, dpkg); without it those steps are
# skipped and the leg says so.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build=$repo/build/debug
package_build=$repo/build/package

root=0
[ "$(id -u)" -eq 0 ] && root=1
if [ $root -eq 1 ]; then
  scripts/setup.sh iproute2 nftables mono-devel lintian dpkg-dev pkg-config binutils help2man \
    unbound tayga
  scripts/setup.sh libsdl2-dev xvfb
  scripts/setup.sh g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu
fi

build_debug() {
  cmake --preset debug >/dev/null &&
    cmake --build --preset debug -j "$jobs" --target velantis-server velantis-client \
      velantis-client-lib client_two_players client_liveness
}

check_exports() {
  local library=$build/client/libvelantis-client.so.1 soname others
  soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
  [ "$soname" = libvelantis-client.so.1 ] || fail "  SONAME is '$soname'" || return 1
  # Defined dynamic symbols, less the version node itself (type A).
  others=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | sed 's/@.*//' |
    grep -v '^velantis_' || true)
  [ -z "$others" ] || fail "  exported beside velantis_*: $others" || return 1
  log "  $(nm -D --defined-only "$library" | grep -c ' T velantis_') velantis_* functions exported"
}

c_two_players() {
  with_server "$build/velantis-server" "$build/client/client_two_players"
}

csharp_two_players() {
  local out=$build/csharp
  mkdir -p "$out"
  mcs -langversion:7.2 -warnaserror -out:"$out/two_players.exe" \
    client/bindings/csharp/Velantis.Client.cs tests/client/TwoPlayers.cs &&
    LD_LIBRARY_PATH=$build/client with_server "$build/velantis-server" mono "$out/two_players.exe"
}

liveness() {
  in_network_namespace timeout 180 "$build/client/client_liveness" "$build/velantis-server"
}

paths() {
  timeout 300 python3 tests/client/paths.py --server "$build/velantis-server" \
    --two-players "$build/client/client_two_players" --liveness "$build/client/client_liveness" \
    --client "$build/tools/velantis-client"
}

lossy() {
  timeout 300 python3 tests/client/lossy_connect.py --server "$build/velantis-server" \
    --client "$build/tools/velantis-client"
}

relayed() {
  in_network_namespace timeout 400 python3 tests/client/relayed.py --server "$build/velantis-server" \
    --library "$build/client/libvelantis-client.so.1"
}

# The guide's loops pace themselves at 30 frames a second: 90 frames take at least 3 s however
# fast the machine (a busy one only makes them slower), and send about one update a frame.
docs_loops() {
  local out=$build/docs-loops started ms sent language
  mkdir -p "$out"
  awk '/^```c$/{on=1; next} /^```$/{on=0} on' docs/client-library.md >"$out/loop.c"
  awk '/^```csharp$/{on=1; next} /^```$/{on=0} on' docs/client-library.md >"$out/Loop.cs"
  cc -std=c99 -Wall -Werror -I client/include -o "$out/loop" "$out/loop.c" -L "$build/client" \
    -lvelantis-client || return 1
  mcs -langversion:7.2 -warnaserror -out:"$out/loop.exe" client/bindings/csharp/Velantis.Client.cs \
    "$out/Loop.cs" || return 1
  for language in c csharp; do
    started=$(date +%s%N)
    if [ "$language" = c ]; then
      LD_LIBRARY_PATH=$build/client with_server "$build/velantis-server" "$out/loop" >"$out/$language.txt"
    else
      LD_LIBRARY_PATH=$build/client with_server "$build/velantis-server" mono "$out/loop.exe" \
        >"$out/$language.txt"
    fi || fail "  the $language loop failed" || return 1
    ms=$((($(date +%s%N) - started) / 1000000))
    log "  the $language loop: 90 frames in $ms ms"
    [ "$ms" -ge 2900 ] || fail "  the $language loop did not pace itself: 90 frames in $ms ms" ||
      return 1
  done
  sent=$(grep -c 'says hi all' "$out/c.txt" || true)
  log "  the C loop saw its own chat line $sent time(s)"
}

# Installed on this machine with dpkg rather than into a staging folder: only then do the
# package's dependencies, ldconfig trigger, and the default search paths of find_package,
# pkg-config and the dynamic loader get tested as a game developer meets them. The trap purges
# both packages whatever happens; where either was installed before, installing ours would replace
# it, so the rest of the step is skipped, saying why, and the machine keeps what it had.
client_packages=(libvelantis-client-dev libvelantis-client1)
purge_packages() { dpkg --purge "${client_packages[@]}" >/dev/null 2>&1 || true; }
installed_before() {
  local name status
  for name in "${client_packages[@]}"; do
    status=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null || true)
    [[ -z $status || $status == "unknown ok not-installed"* ]] || echo "$name ($status)"
  done
}

packages() {
  local runtime dev examples flags before
  build_debs "$repo" || return 1
  runtime=$(echo "$package_build"/libvelantis-client1_*.deb)
  dev=$(echo "$package_build"/libvelantis-client-dev_*.deb)
  { [ -f "$runtime" ] && [ -f "$dev" ]; } || fail "  the library's packages were not made" ||
    return 1
  lint_debs "$package_build/lintian-client.txt" "$runtime" "$dev" || return 1
  before=$(installed_before | paste -sd, -)
  if [ -n "$before" ]; then
    log "  SKIPPED installing the packages: already installed here: $before"
    log "  purge them (dpkg --purge ${client_packages[*]}) to run the rest of this step"
    return 0
  fi

  purge_packages
  trap purge_packages EXIT
  examples=$(mktemp -d)
  # A C# game on a player's machine: the runtime package alone must do for mono.
  dpkg -i "$runtime" >/dev/null || return 1
  echo 'class V { static void Main() { System.Console.WriteLine(Velantis.Client.Client.Version); } }' \
    >"$examples/version.cs"
  mcs -out:"$examples/version.exe" client/bindings/csharp/Velantis.Client.cs "$examples/version.cs" &&
    mono "$examples/version.exe" >/dev/null ||
    fail "  mono cannot load the library with only libvelantis-client1 installed" || return 1
  dpkg -i "$runtime" "$dev" >/dev/null || return 1
  [ -f /usr/share/doc/libvelantis-client-dev/client-library.md ] &&
    [ -f /usr/share/doc/libvelantis-client-dev/examples/bot/bot.c ] ||
    fail "  libvelantis-client-dev ships no guide or no examples" || return 1
  # find_package(VelantisClient), as examples/CMakeLists.txt does, with no paths given.
  if ! { cmake -S examples -B "$examples/cmake" -G Ninja >/dev/null &&
    cmake --build "$examples/cmake" >/dev/null; }; then
    rm -rf "$examples"
    fail "  examples/ did not build with find_package" || return 1
  fi
  # And by hand with pkg-config.
  read -ra flags < <(pkg-config --cflags --libs velantis-client)
  if ! cc -Wall -Wextra -Werror -o "$examples/bot-pkg-config" examples/bot/bot.c "${flags[@]}" -lm
  then
    rm -rf "$examples"
    fail "  examples/bot/bot.c did not build with pkg-config" || return 1
  fi
  # Two bots at once, each walking on until it has seen the other: each must report the other.
  # shellcheck disable=SC2016 # the inner script expands its own arguments
  with_server "$build/velantis-server" bash -c '
    "$1" 127.0.0.1 11 150 1 >"$3/bot11.txt" & first=$!
    "$2" 127.0.0.1 12 150 1 >"$3/bot12.txt"
    wait $first' _ "$examples/cmake/bot" "$examples/bot-pkg-config" "$examples" ||
    fail "  the two bots did not both end well"
  grep -q '^player 12 at ' "$examples/bot11.txt" || fail "  bot 11 never saw bot 12"
  grep -q '^player 11 at ' "$examples/bot12.txt" || fail "  bot 12 never saw bot 11"
  head -n 3 "$examples/bot11.txt"
  rm -rf "$examples"
  dpkg --purge "${client_packages[@]}" >/dev/null || fail "  purging the packages failed"
  trap - EXIT
  [ ! -e /usr/lib/x86_64-linux-gnu/libvelantis-client.so.1 ] ||
    fail "  the library is left after purging"
}

# The examples as a game developer builds them, against the library installed into a folder of
# its own (the components the Debian packages are made of).
arena() {
  local stage ok=1
  stage=$(mktemp -d)
  if ! { cmake --build --preset debug --target velantis-changelog >/dev/null &&
    cmake --install "$build" --component ClientRuntime --prefix "$stage" >/dev/null &&
    cmake --install "$build" --component ClientDevelopment --prefix "$stage" >/dev/null &&
    cmake -S examples -B "$stage/examples" -G Ninja -DCMAKE_PREFIX_PATH="$stage" \
      -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null &&
    cmake --build "$stage/examples" >/dev/null; }; then
    fail "  examples/ did not build against the library installed into $stage"
    ok=0
  elif ! with_server "$build/velantis-server" python3 tests/client/arena.py \
    --arena "$stage/examples/arena"; then
    fail "  the arena did not draw the players where they are"
    ok=0
  fi
  rm -rf "$stage"
  [ "$ok" -eq 1 ]
}

# The Unity package's Windows and arm64 libraries are built alone, in folders of their own, so
# that the Windows and arm64 legs' builds are neither needed nor changed.
unity_library() {  # FOLDER TOOLCHAIN-FILE
  [ -f "$1/CMakeCache.txt" ] ||
    cmake -S . -B "$1" -G Ninja --toolchain "$2" -DCMAKE_BUILD_TYPE=Release \
      -DVELANTIS_BUILD_TESTS=OFF -DVELANTIS_BUILD_TOOLS=OFF >/dev/null || return 1
  cmake --build "$1" -j "$jobs" --target velantis-client-lib >/dev/null
}

unity_package() {
  local windows=$repo/build/unity-windows-x86_64 arm64=$repo/build/unity-linux-arm64
  local begin=$SECONDS tarball
  unity_library "$windows" cmake/mingw-w64-x86_64.cmake ||
    fail "  the Windows library did not build" || return 1
  unity_library "$arm64" cmake/aarch64-linux-gnu.cmake ||
    fail "  the arm64 library did not build" || return 1
  log "  the Windows and arm64 libraries built in $((SECONDS - begin)) s"
  { cmake --preset debug -DVELANTIS_UNITY_WINDOWS_X86_64="$windows/client/velantis-client.dll" \
    -DVELANTIS_UNITY_LINUX_ARM64="$arm64/client/libvelantis-client.so.1" >/dev/null &&
    cmake --build --preset debug --target velantis-unity-package >/dev/null; } ||
    fail "  velantis-unity-package failed" || return 1
  tarball=$(echo "$build"/unity/com.velantis.client-*.tgz)
  python3 tests/client/unity_package.py --package "$build/unity/package" --tarball "$tarball" \
    --source-tree "$repo"
}

step build build_debug
if [ "$status" -eq 0 ]; then
  step exports check_exports
  if [ $root -eq 1 ]; then
    step c c_two_players
    step csharp csharp_two_players
    # Their servers and players live in namespaces of their own (lossy alone uses the host's
    # loopback), and they mostly wait on clocks of the library's: together they take the longest's
    # time.
    steps_at_once liveness liveness paths paths lossy lossy relayed relayed
    step docs docs_loops
    step packages packages
    step arena arena
    step unity unity_package
  else
    log "SKIPPED c, liveness, csharp, paths, lossy, relayed, docs, packages, arena and unity:" \
      "they need root (namespaces, dpkg, installing the cross compilers)"
  fi
fi
exit "$status"
