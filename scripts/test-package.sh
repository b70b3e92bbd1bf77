#!/usr/bin/env bash
# The package leg: builds the Debian package and checks what a Linux operator gets from it.
# Lints it, installs it on this machine (no systemd runs here, so nothing may start), checks the
# installed files against `cmake --install`, rates and verifies the installed unit, drives the
# installed server with the end-to-end suite as its unit would run it (as an unprivileged user,
# with the unit's environment; log rotation under load included), then removes and purges it.
#
# Needs root (it installs a package); without root it says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package: skipped: installing the package needs root"
  exit 0
fi
scripts/setup.sh dpkg-dev lintian logrotate systemd help2man

build=build/package
unit=/usr/lib/systemd/system/velantis-server.service
fail() {
  echo "package: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' velantis-server 2>/dev/null | grep -q "ok installed"; }
server_running() { pgrep -f '^/usr/bin/velantis-server' >/dev/null; }

cmake --preset package >/dev/null
cmake --build --preset package -j "${VELANTIS_JOBS:-2}"
rm -f "$build"/velantis-server_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(echo "$build"/velantis-server_*.deb)
echo "package: built $deb"

# Errors fail the leg; a warning passes only if packaging/README.md gives the reason it is kept.
lintian --fail-on error "$deb" | tee "$build/lintian.txt"
for tag in $(sed -n 's/^W: [^ ]* \([a-z0-9-]*\).*/\1/p' "$build/lintian.txt" | sort -u); do
  grep -q "\`$tag\`" packaging/README.md || fail "lintian warning $tag is not explained in packaging/README.md"
done

# The package holds exactly what `cmake --install` puts in a staging folder.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null
(cd "$stage" && find . ! -type d | sed 's|^\./|/|' | sort) >"$build/staged.txt"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort >"$build/packaged.txt"
diff -u "$build/staged.txt" "$build/packaged.txt" || fail "the package differs from cmake --install"

if installed; then dpkg --purge velantis-server >/dev/null; fi
# Installing twice also runs the upgrade path of the maintainer scripts.
dpkg -i "$deb"
dpkg -i "$deb"
server_running && fail "installing started the server where no systemd runs"
for path in $(cat "$build/packaged.txt"); do
  [ -e "$path" ] || fail "$path is not installed"
done
for program in velantis-server velantis-client velantis-loadgen; do
  [ -x /usr/bin/$program ] || fail "/usr/bin/$program is not an executable"
done
version=$(dpkg-deb -f "$deb" Version)
for tool in velantis-client velantis-loadgen; do
  /usr/bin/$tool --help | grep -qF "$version" || fail "$tool --help does not show version $version"
done

# The unit as installed: systemd finds nothing to say about it, and rates it 2.0 or lower.
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify failed: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "package: systemd-analyze security rates the unit $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $exposure is above 2.0"

if command -v tshark >/dev/null && [ -e /usr/lib/x86_64-linux-gnu/wireshark/plugins/velantis.lua ]; then
  tshark -G protocols 2>&1 | grep -qw velantis || fail "tshark does not load the installed plugin"
fi

python3 tests/e2e/run_e2e.py --server /usr/bin/velantis-server --service-unit "$unit" \
  --service-user nobody

# Removal stops nothing that runs here, keeps the configuration and masks the unit; purging
# forgets the unit and the configuration but keeps the logs unless asked.
mkdir -p /var/log/velantis-server
echo "a log line" >/var/log/velantis-server/kept.logs
dpkg --remove velantis-server
for path in /usr/bin/velantis-server /usr/bin/velantis-client "$unit"; do
  [ ! -e "$path" ] || fail "$path is left after removal"
done
[ -e /etc/logrotate.d/velantis-server ] || fail "removal must keep the configuration"
dpkg --purge velantis-server
left=$(find /etc /usr /var/lib/systemd /var/lib/dpkg/info -name 'velantis-server*' 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
[ -e /var/log/velantis-server/kept.logs ] || fail "purge removed the logs"
dpkg -i "$deb" >/dev/null
VELANTIS_PURGE_LOGS=yes dpkg --purge velantis-server
[ ! -e /var/log/velantis-server ] || fail "VELANTIS_PURGE_LOGS=yes did not remove the logs"
echo "package: installed, served, rotated, removed and purged"
