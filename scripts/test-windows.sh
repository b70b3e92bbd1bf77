#!/usr/bin/env bash
# The Windows leg: cross-compiles the server, its tests and tools for 64-bit Windows with
# mingw-w64, runs the GoogleTest suite under Wine through CTest, then runs the real server .exe
# under Wine and talks to it over loopback UDP (tests/wine/wine_e2e.py), with velantis-client.exe
# and a C program on the client library's DLL as more players. Then it makes the
# installer and the portable zip, and in a second fresh prefix unpacks the zip and runs the same
# end-to-end check on its server, installs silently, checks the installed files and the
# uninstaller's registry entry, runs the check on the installed server, installs a newer version
# into another folder over it (the earlier install must be gone) and again without naming a folder
# (it must stay where it is), uninstalls silently and checks what is left; last, two bots built
# against the zip's sdk folder with find_package play against the zip's server. The installer is a
# 32-bit program: without a 32-bit Wine (wine32:i386 on Debian) that cannot be installed, only the
# installer steps are skipped, and the leg says so.
#
# Everything Wine touches lives in fresh temporary prefixes that are deleted at the end. Their
# user has a non-ASCII name, so the data folder the server logs to is one too.
#
# VELANTIS_JOBS sets the build's parallelism (default 2). Exits 0 when every step passed, or when
# the tools are missing and cannot be installed because this is not root (the leg is skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
build_dir=$repo/build/mingw

# The 64-bit loader itself. Debian's `wine` package alone only brings wrappers that hand over to
# it: with `wine` and `wine32` but no `wine64`, a 64-bit prefix never finishes booting. So only
# a 64-bit ELF program counts; wrapper scripts and 32-bit loaders do not.
is_program() { [ -f "$1" ] && [ -x "$1" ]; }
is_64bit_program() {
  is_program "$1" && [ "$(head -c 5 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c4602 ]
}
# first_of TEST CANDIDATE...: prints the first candidate that is not empty and passes the test.
first_of() {
  local test=$1 candidate
  shift
  for candidate in "$@"; do
    if [ -n "$candidate" ] && "$test" "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
find_wine() {
  first_of is_64bit_program /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 \
    "$(command -v wine64 || true)" "$(command -v wine || true)"
}
find_wineserver() {
  first_of is_program "$(command -v wineserver || true)" /usr/lib/wine/wineserver64 \
    /usr/lib/wine/wineserver
}
# The 32-bit loader, which runs the installer; Debian keeps it beside wine64.
find_wine32() { first_of is_program /usr/lib/wine/wine "$(command -v wine || true)"; }

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
find_wine >/dev/null || missing+=(wine64)
command -v makensis >/dev/null || missing+=(nsis)
# GoogleTest is built from its sources for Windows; the header-only libraries are the host's own.
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
[ -f /usr/include/CLI/CLI.hpp ] || missing+=(libcli11-dev)
[ -f /usr/include/boost/beast.hpp ] || missing+=(libboost-dev)
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
  timeout 900 scripts/setup.sh "${missing[@]}"
fi
# Wine runs 32-bit programs only with its 32-bit half present before a prefix is made. Without it
# the leg still runs everything but the installer steps.
if ! find_wine32 >/dev/null && [ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null; then
  timeout 900 scripts/setup.sh wine32:i386 || log "could not install wine32:i386"
fi
wine32=$(find_wine32 || true)
for tool in cmake cpack makensis ninja python3 strings timeout x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { log "FAILED: $tool is needed"; exit 1; }
done
[ -f /usr/src/googletest/CMakeLists.txt ] || { log "FAILED: no GoogleTest sources"; exit 1; }
wine=$(find_wine) || { log "FAILED: no 64-bit Wine loader (package wine64)"; exit 1; }
wineserver=$(find_wineserver) || { log "FAILED: no wineserver beside $wine"; exit 1; }

# Quiet, throw-away prefixes: no debug channels, no Mono or Gecko install prompts, no desktop
# integration. Wine names the profile folder after $USER.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
user_name="Jos$(printf '\303\251') Tester"
export WINEARCH=win64 LC_ALL=C.UTF-8 USER="$user_name" LOGNAME="$user_name"
export VELANTIS_WINE=$wine

prefixes=()
cleanup() {
  local prefix
  for prefix in "${prefixes[@]}"; do
    WINEPREFIX=$prefix timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
  done
}
trap cleanup EXIT

# Makes a fresh prefix and points WINEPREFIX at it.
new_prefix() {
  local begin=$SECONDS
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velantis-wine.XXXXXX")
  export WINEPREFIX
  prefixes+=("$WINEPREFIX")
  # The wine server is kept running while the prefix is used, and the prefix's background
  # services are started now with no standard streams: started later by a test, they would
  # inherit its output pipes and keep CTest waiting for them to close.
  "$wineserver" -p </dev/null >/dev/null 2>&1
  timeout 300 "$wine" wineboot.exe -i </dev/null >/dev/null 2>&1 || {
    log "FAILED: wineboot did not finish"
    return 1
  }
  # GoogleTest's output capture creates its files through the ANSI temp-folder call, which cannot
  # name a folder below a non-ASCII profile; give the prefix an ASCII temp folder.
  for variable in TEMP TMP; do
    timeout 60 "$wine" reg.exe add 'HKCU\Environment' /v "$variable" /t REG_SZ \
      /d 'C:\windows\temp' /f </dev/null >/dev/null 2>&1
  done
  log "prefix $WINEPREFIX ready in $((SECONDS - begin)) s"
}

log "wine: $wine ($("$wine" --version 2>/dev/null || echo unknown version)), 32-bit: ${wine32:-none}"
new_prefix || exit 1
export VELANTIS_WINE_FRESH_DATA=1

build() {
  cmake --preset mingw -DVELANTIS_WINE="$wine" >/dev/null &&
    timeout 900 cmake --build --preset mingw -j "$jobs"
}

end_to_end() {  # folder of velantis-server.exe [folder of velantis-client.exe [more options]]
  local server=$1 client=${2:-$1}
  shift $(($# < 2 ? $# : 2))
  timeout 900 python3 tests/wine/wine_e2e.py --server "$server/velantis-server.exe" \
    --client "$client/velantis-client.exe" --wine "$wine" "$@"
}

version=""
package=""
installed_dir="Program Files/Velantis"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velantis'

make_packages() {
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
  package=velantis-server-$version-win64
  rm -f "$build_dir/$package.exe" "$build_dir/$package.zip"
  (cd "$build_dir" && timeout 600 cpack -G "NSIS;ZIP" >/dev/null) &&
    expect "the installer $package.exe is made" test -f "$build_dir/$package.exe" &&
    expect "the zip $package.zip is made" test -f "$build_dir/$package.zip"
}

# Every file of the folder, relative to it, one a line and sorted.
files_below() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }

# The value of one field of a program's version resource.
resource_value() { strings -el "$1" | grep -A1 -x "$2" | sed -n 2p; }

# The programs' version resources carry the maker, the project's version and a description.
check_version_resources() {
  local program exe
  for program in velantis-server velantis-client velantis-loadgen; do
    exe=$1/$program.exe
    expect "$program.exe's maker is OrlinStudio" \
      test "$(resource_value "$exe" CompanyName)" = OrlinStudio
    expect "$program.exe has file and product version $version" \
      test "$(resource_value "$exe" FileVersion) $(resource_value "$exe" ProductVersion)" = \
      "$version $version"
    expect "$program.exe has a description" test -n "$(resource_value "$exe" FileDescription)"
  done
}

# The zip unpacked into a folder of any name (spaces, non-ASCII), its programs run from there.
check_zip() {
  local portable="$WINEPREFIX/drive_c/Portable Velantis ($user_name)"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$build_dir/$package.zip" "$portable" || fail "  the zip could not be unpacked" || return 1
  zip_files=$(files_below "$portable/$package")
  expect "the zip holds the three programs and the README" \
    test "$(grep -c -x -E 'velantis-(server|client|loadgen)\.exe|doc/README\.md' <<<"$zip_files")" = 4
  expect "the zip holds the client library's DLL, import library, header and C# binding in sdk/" \
    test "$(grep -c -x -E 'sdk/(velantis-client\.dll|libvelantis-client\.dll\.a|include/velantis/client\.h|Velantis\.Client\.cs)' <<<"$zip_files")" = 4
  check_version_resources "$portable/$package"
  end_to_end "$portable/$package"
}

# A game built against the zip's sdk folder with find_package, as a developer on Windows would
# build one: two bots under Wine, against the zip's server, each see the other walk. The bots
# start once the server has bound its port, and each walks on until it has seen the other walk,
# however late Wine starts either. Run last: the server is only stopped with the prefix's other
# processes.
check_sdk() {
  local folder="$WINEPREFIX/drive_c/Portable Velantis ($user_name)/$package"
  local out=$build_dir/sdk-example
  rm -rf "$out"
  cmake -S examples -B "$out" -G Ninja --toolchain "$repo/cmake/mingw-w64-x86_64.cmake" \
    -DVelantisClient_DIR="$folder/sdk/cmake" >/dev/null &&
    cmake --build "$out" >/dev/null && cp "$folder/sdk/velantis-client.dll" "$out/" || return 1
  local exported
  exported=$(x86_64-w64-mingw32-objdump -p "$folder/sdk/velantis-client.dll" |
    sed -n 's/^\t\[ *[0-9]*\] \([A-Za-z_].*\)$/\1/p')
  expect "the DLL exports velantis_* functions and nothing else" \
    test -n "$exported" -a -z "$(grep -v '^velantis_' <<<"$exported")"
  "$wine" "$folder/velantis-server.exe" </dev/null >/dev/null 2>&1 &
  # A bot gives up connecting after 10 s; Wine on a busy machine may take longer than that to
  # start the server.
  local deadline=$((SECONDS + 300))
  until python3 -c 'import sys; sys.path.insert(0, "tests/e2e"); import server_harness as h
sys.exit(0 if h.udp_sockets(15000) else 1)'; do
    [ "$SECONDS" -lt "$deadline" ] || fail "  the zip's server did not bind UDP 15000" || return 1
    sleep 0.2
  done
  timeout 300 "$wine" "$out/bot.exe" 127.0.0.1 21 100 1 </dev/null >"$out/bot21.txt" 2>&1 &
  local first=$!
  timeout 300 "$wine" "$out/bot.exe" 127.0.0.1 22 100 1 </dev/null >"$out/bot22.txt" 2>&1 ||
    fail "  bot 22 did not end well"
  wait "$first" || fail "  bot 21 did not end well"
  "$wineserver" -k >/dev/null 2>&1 || true
  expect "bot 21 saw bot 22 walk" grep -q '^player 22 at ' "$out/bot21.txt"
  expect "bot 22 saw bot 21 walk" grep -q '^player 21 at ' "$out/bot22.txt"
}

menu_folder="ProgramData/Microsoft/Windows/Start Menu/Programs/Velantis"

# Prints a key of the 64-bit registry view with its values, without carriage returns; fails when
# there is no such key (reg.exe then says so on standard output).
registry() {  # KEY [reg.exe query option...]
  local values
  values=$(timeout 60 "$wine" reg.exe query "$@" </dev/null 2>/dev/null) || return 1
  tr -d '\r' <<<"$values"
}
no_key() { ! registry "$1" >/dev/null; }

install_silently() {
  local installed="$WINEPREFIX/drive_c/$installed_dir" entry
  expect "the installer exits 0" \
    timeout 300 "$wine32" "$build_dir/$package.exe" /S </dev/null >/dev/null 2>&1 || return 1
  expect "the same files as the zip, the uninstaller and install.log are installed" \
    test "$(files_below "$installed")" = \
    "$(printf '%s\n' "$zip_files" Uninstall.exe install.log | LC_ALL=C sort)"
  expect "the Start menu has the server" \
    test -f "$WINEPREFIX/drive_c/$menu_folder/Velantis server.lnk"
  expect "install.log says whether the firewall rule was added" \
    grep -q '^Firewall: .*inbound rule "Velantis server (UDP 15000)"' "$installed/install.log"
  entry=$(registry "$uninstall_key") || true
  expect "the uninstall entry in the 64-bit registry has version $version" \
    grep -q -E "^ +DisplayVersion +REG_SZ +$version\$" <<<"$entry"
  expect "... is named Velantis server" \
    grep -q -E '^ +DisplayName +REG_SZ +Velantis server$' <<<"$entry"
  expect "... names the maker" grep -q -E '^ +Publisher +REG_SZ +OrlinStudio$' <<<"$entry"
  expect "... runs the installed Uninstall.exe" grep -q -F \
    'UninstallString    REG_SZ    "C:\Program Files\Velantis\Uninstall.exe"' <<<"$entry"
  check_version_resources "$installed"
}

# The Windows path of a folder below drive C:.
windows_path() { echo "C:\\${1//\//\\}"; }

# Lines naming the program in both registry views' uninstall entries, and its Start-menu links.
uninstall_entries() {
  local view
  for view in 'HKLM\Software' 'HKLM\Software\Wow6432Node'; do
    registry "$view\Microsoft\Windows\CurrentVersion\Uninstall" /s || true
  done | grep -E '^ +DisplayName +REG_SZ +Velantis server$'
}
menu_links() { find "$WINEPREFIX/drive_c" -name 'Velantis server.lnk'; }

# A newer version installed into another folder replaces the earlier install: one folder, one
# uninstall entry, one Start-menu link, all of the newer one. Installed again without naming a
# folder, it stays in that folder.
upgrade_elsewhere() {
  local newer=$version.1 earlier="$WINEPREFIX/drive_c/$installed_dir" entry
  local newer_package=velantis-server-$newer-win64
  (cd "$build_dir" && timeout 600 cpack -G NSIS -D CPACK_PACKAGE_VERSION="$newer" \
    -D CPACK_PACKAGE_FILE_NAME="$newer_package" >/dev/null) &&
    expect "the installer of version $newer is made" test -f "$build_dir/$newer_package.exe" ||
    return 1
  # Without spaces: NSIS takes /D= unquoted, and Wine quotes an argument with spaces.
  installed_dir="Velantis-$newer"
  local installed="$WINEPREFIX/drive_c/$installed_dir"
  expect "the newer installer exits 0" timeout 300 "$wine32" "$build_dir/$newer_package.exe" /S \
    "/D=$(windows_path "$installed_dir")" </dev/null >/dev/null 2>&1 || return 1
  expect "the earlier folder is gone" test ! -e "$earlier"
  expect "the newer folder holds the programs, the uninstaller and install.log" \
    test "$(files_below "$installed")" = \
    "$(printf '%s\n' "$zip_files" Uninstall.exe install.log | LC_ALL=C sort)"
  expect "one uninstall entry" test "$(uninstall_entries | wc -l)" = 1
  entry=$(registry "$uninstall_key") || true
  expect "... of version $newer" grep -q -E "^ +DisplayVersion +REG_SZ +$newer\$" <<<"$entry"
  expect "... that runs the newer Uninstall.exe" grep -q -F \
    "UninstallString    REG_SZ    \"$(windows_path "$installed_dir")\\Uninstall.exe\"" <<<"$entry"
  expect "one Start-menu link" test "$(menu_links | wc -l)" = 1
  expect "... to the newer server" grep -q -a -F "$installed_dir" "$(menu_links | head -1)"

  expect "installing again without a folder exits 0" timeout 300 "$wine32" \
    "$build_dir/$newer_package.exe" /S </dev/null >/dev/null 2>&1 || return 1
  expect "it installs into the same folder" test -f "$installed/velantis-server.exe"
  expect "... and no other" test ! -e "$earlier"
  expect "still one uninstall entry" test "$(uninstall_entries | wc -l)" = 1
  expect "still one Start-menu link" test "$(menu_links | wc -l)" = 1
  rm -f "$build_dir/$newer_package.exe"
}

uninstall_silently() {
  local installed="$WINEPREFIX/drive_c/$installed_dir" menu="$WINEPREFIX/drive_c/$menu_folder"
  # The uninstaller copies itself to the temporary folder and runs from there, so the command
  # returns at once: wait for it to finish its work, the maker's registry key going last.
  expect "the uninstaller exits 0" timeout 120 "$wine32" \
    "$(windows_path "$installed_dir")\\Uninstall.exe" /S </dev/null >/dev/null 2>&1 || return 1
  local deadline=$((SECONDS + 300))
  until [ ! -e "$installed" ] && [ ! -e "$menu" ] && no_key 'HKLM\Software\OrlinStudio'; do
    [ "$SECONDS" -lt "$deadline" ] || break
    sleep 0.5
  done
  expect "no program files are left" test ! -e "$installed"
  expect "the Start menu entry is gone" test ! -e "$menu"
  expect "the uninstall entry is gone" test -z "$(uninstall_entries)"
  expect "the maker's registry key is gone" no_key 'HKLM\Software\OrlinStudio'
  expect "the player logs in %LOCALAPPDATA% are kept" test -s "$(echo \
    "$WINEPREFIX"/drive_c/users/*/AppData/Local/OrlinStudio/Velantis/Server/ThreadsLogs/Thread_0.logs)"
}

step build build
if [ "$status" -eq 0 ]; then
  # One test at a time: every test process of the prefix shares the same AppData folder.
  step ctest timeout 900 ctest --preset mingw -j 1
  step end-to-end end_to_end "$build_dir" "$build_dir/tools" \
    --client-library-test "$build_dir/client/client_two_players.exe"
  step packages make_packages
fi
if [ -n "$package" ] && [ -f "$build_dir/$package.exe" ] && [ -f "$build_dir/$package.zip" ]; then
  # What users get, in a prefix of its own that nothing has run in yet.
  unset VELANTIS_WINE_FRESH_DATA
  new_prefix || exit 1
  step zip check_zip
  if [ -z "$wine32" ]; then
    log "SKIPPED the installer steps: no 32-bit Wine, and wine32:i386 could not be installed."
  elif [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    log "SKIPPED the installer steps: $wine32 made no 32-bit part in the prefix."
  else
    step install install_silently
    if [ -e "$WINEPREFIX/drive_c/$installed_dir/velantis-server.exe" ]; then
      step installed-end-to-end end_to_end "$WINEPREFIX/drive_c/$installed_dir"
      step upgrade upgrade_elsewhere
      step uninstall uninstall_silently
    fi
  fi
  step sdk check_sdk
fi

exit "$status"
