#!/usr/bin/env bash
# The package leg: builds the Debian package, lints it and compares it with `cmake --install` on
# this machine (nothing installed here), then boots a container under its own systemd
# (systemd-nspawn -b over a throw-away overlay of this machine's root, with a network of its own)
# and there installs the package and drives it as an operator would: the service starts and
# serves, fails cleanly when the port is taken (also with thousands of UDP sockets open), its
# sandbox leaves it no writable path but its log folder, its rotation timer rotates the log under
# load as the service's own user without losing a line, a symlink planted in the log folder turns
# the rotation against no root-owned file, and restart, stop, upgrade, remove and purge do what the
# README says. Everything runs inside the container: this machine's packages, services, logs and
# network are never touched, and the container, its overlay and its mounts are gone when the leg
# ends, also when it fails.
#
# Each check is a function `check_NAME` run by `step`; a failed check fails the leg, and the next
# ones still run. VELANTIS_PACKAGE_DEB=FILE drives that package instead of building one (and skips
# lintian and the comparison with `cmake --install`), e.g. to see the leg fail on an older one.
# Needs root and systemd-nspawn (Debian's systemd-container); without root it says
# so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh
# shellcheck source=scripts/baseline.sh
. scripts/baseline.sh

skip_unless_root "booting a container and installing the package need root"
# The container boots this machine's own root, so what the package needs there (systemd,
# logrotate) and what the checks run there (ss, python3, promtool) are installed here; help2man
# makes the manual pages.
scripts/setup.sh dpkg-dev lintian systemd-container systemd logrotate iproute2 python3 help2man \
  prometheus

build=$repo/build/package
unit=/usr/lib/systemd/system/velantis-server.service
logs=/var/log/velantis-server/OrlinStudio/Velantis/Server/ThreadsLogs
rotation_config=/etc/velantis-server/logrotate.conf
leg_dir=/opt/velantis-leg  # inside the container: the package and the test files

# ---- On this machine: build, lint, compare (nothing is installed here) ----

if [ -n "${VELANTIS_PACKAGE_DEB:-}" ]; then
  deb=$(realpath "$VELANTIS_PACKAGE_DEB")
  mkdir -p "$build"
  log "drives $deb"
else
  build_debs "$repo"
  deb=$(echo "$build"/velantis-server_*.deb)
  log "built $deb"
fi

check_contents() {
  # The package holds exactly what `cmake --install` puts in a staging folder.
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort >"$build/packaged.txt"
  [ -z "${VELANTIS_PACKAGE_DEB:-}" ] || return 0
  local stage
  stage=$(mktemp -d)
  DESTDIR="$stage" cmake --install "$build" >/dev/null
  (cd "$stage" && find . ! -type d | sed 's|^\./|/|' | sort) >"$build/staged.txt"
  rm -rf "$stage"
  diff -u "$build/staged.txt" "$build/packaged.txt" || fail "the package differs from cmake --install"
}

# The first release, 1.0.0, built from its commit, so that the upgrade an operator of that release
# makes is driven too. Without the commit (a shallow clone) that one check is skipped.
first_deb=
build_first_release() {
  if ! git cat-file -e "$baseline_commit^{commit}" 2>/dev/null; then
    log "the first release's commit $baseline_commit is not in this clone: its upgrade is not checked"
    return 0
  fi
  local tree=$repo/build/first-release
  rm -rf "$tree" && mkdir -p "$tree"
  git archive "$baseline_commit" | tar -x -C "$tree" && build_debs "$tree" || return 1
  first_deb=$(echo "$tree"/build/package/velantis-server_*.deb)
}

# Errors fail; a warning passes only if packaging/README.md gives the reason it is kept.
[ -n "${VELANTIS_PACKAGE_DEB:-}" ] || step lintian lint_debs "$build/lintian.txt" "$deb"
step contents check_contents
[ -n "${VELANTIS_PACKAGE_DEB:-}" ] || step first-release build_first_release

# A package newer than the one built, with the same files, so that an upgrade is one as apt makes
# it (the maintainer scripts are told of an older version), not a reinstall.
make_newer_deb() {  # DEB NEWER_DEB
  local tree status=0
  tree=$(mktemp -d)
  dpkg-deb -R "$1" "$tree" &&
    sed -i "s/^Version: .*/&+leg1/" "$tree/DEBIAN/control" &&
    dpkg-deb --root-owner-group -b "$tree" "$2" >/dev/null || status=1
  rm -rf "$tree"
  return "$status"
}

# ---- The container ----

container=
machine=velantis-leg-$$
nspawn_pid=
leader=

cleanup() {
  set +e
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" # nspawn asks the container's systemd to power off
    for _ in $(seq 150); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -0 "$nspawn_pid" 2>/dev/null && kill -KILL "$nspawn_pid"
    wait "$nspawn_pid" 2>/dev/null
  fi
  if [ -n "$container" ]; then
    mountpoint -q "$container/root" && umount -l "$container/root"
    mountpoint -q "$container" && umount -l "$container"
    rmdir "$container"
  fi
  # nspawn leaves its machine's (empty) propagation folder where /run is not a tmpfs.
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null
  return 0
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# inside COMMAND...: runs a command inside the container, as root, in its namespaces.
inside_prefix() {
  echo nsenter --target "$leader" --mount --uts --ipc --net --pid -- \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    SYSTEMD_PAGER=
}
inside() {
  local prefix
  read -ra prefix < <(inside_prefix)
  "${prefix[@]}" "$@"
}
prop() { inside systemctl show -P "$2" "$1"; }  # prop UNIT PROPERTY

boot_container() {
  container=$(mktemp -d /tmp/velantis-leg.XXXXXX)
  mount -t tmpfs -o mode=0755,size=4G velantis-leg "$container"
  mkdir "$container/upper" "$container/work" "$container/root"
  # This machine's root as the read-only lower layer: nothing written inside reaches it.
  mount -t overlay velantis-leg \
    -o "lowerdir=/,upperdir=$container/upper,workdir=$container/work" "$container/root"
  local root=$container/root
  # A machine of its own: its own id, and none of this machine's own services and timers (apt's,
  # man-db's, databases...) starting in it; only what Debian's systemd starts by itself. The
  # package's own units are left alone: installed here, they are installed there too, and the
  # install check removes them there first.
  systemd-id128 new >"$root/etc/machine-id"
  local wanted
  for wanted in "$root"/etc/systemd/system/*.wants/*; do
    [ -e "$wanted" ] || [ -L "$wanted" ] || continue
    case ${wanted##*/} in velantis-*) continue ;; esac
    ln -sfn /dev/null "$root/etc/systemd/system/${wanted##*/}"
  done
  ln -sfn /dev/null "$root/etc/systemd/system/console-getty.service"
  # Image builders forbid starting services from maintainer scripts; a booted machine allows it.
  rm -f "$root/usr/sbin/policy-rc.d"
  mkdir -p "$root$leg_dir"
  cp "$deb" "$root$leg_dir/velantis-server.deb"
  make_newer_deb "$deb" "$root$leg_dir/velantis-server-newer.deb" || return 1
  [ -z "$first_deb" ] || cp "$first_deb" "$root$leg_dir/velantis-server-first.deb"
  cp -r tests/e2e tests/package tests/metrics scripts/check-doc-links.py "$root$leg_dir/"

  # The source tree is bound in at its own path for the README's commands: the overlay alone would
  # not show it where it lies below /tmp, which nspawn covers with a tmpfs of the container's own.
  systemd-nspawn --quiet --directory="$root" --machine="$machine" --register=no --keep-unit \
    --private-network --link-journal=no --bind="$repo" --boot </dev/null >"$build/container-console.log" 2>&1 &
  nspawn_pid=$!
  for _ in $(seq 100); do
    leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
    [ -n "$leader" ] && break
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.2
  done
  [ -n "$leader" ] || fail "the container did not boot; see $build/container-console.log" || return 1
  wait_for 60 inside test -S /run/systemd/private ||
    fail "the container's systemd did not start; see $build/container-console.log" || return 1
  local state
  state=$(inside timeout 90 systemctl is-system-running --wait || true)
  log "the container's systemd is $state"
  case $state in
    running) ;;
    degraded) inside systemctl --failed --no-legend ;; # a unit of this machine's that fails there
    *) fail "the container's systemd did not finish booting" || return 1 ;;
  esac
  booted=yes
}

port_holder() { inside ss -H -uln 'sport = :15000' -p | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1; }
serving() {  # the service is active, never restarted, and its own process holds UDP 15000
  [ "$(prop velantis-server ActiveState)" = active ] &&
    [ "$(prop velantis-server NRestarts)" = 0 ] &&
    [ -n "$(port_holder)" ] && [ "$(port_holder)" = "$(prop velantis-server MainPID)" ]
}
# shellcheck disable=SC2016 # dpkg-query's format, not a shell expression
installed() { inside dpkg-query -W -f='${Status}' velantis-server 2>/dev/null | grep -q "ok installed"; }
says() { inside journalctl -q -o cat --no-pager "$@"; }
start_serving() { inside systemctl start velantis-server && wait_for 10 serving; }

check_install() {
  if installed; then inside dpkg --purge velantis-server >/dev/null; fi
  inside dpkg -i "$leg_dir/velantis-server.deb" || return 1
  wait_for 10 serving || fail "the service is not serving after installing: $(
    inside systemctl status --no-pager velantis-server)" || return 1
  [ "$(prop velantis-server-logrotate.timer ActiveState)" = active ] ||
    fail "the rotation timer is not active" || return 1
  local path
  while read -r path; do
    inside test -e "$path" || fail "$path is not installed" || return 1
  done <"$build/packaged.txt"
  local version
  version=$(dpkg-deb -f "$deb" Version)
  for tool in velantis-client velantis-loadgen; do
    inside "/usr/bin/$tool" --help | grep -qF "$version" ||
      fail "$tool --help does not show version $version" || return 1
  done
}

check_doc_links() {
  # Every document the package installs finds the documents it refers to installed beside it.
  inside python3 "$leg_dir/check-doc-links.py" /usr/share/doc/velantis-server
}

# The README followed as its reader would, where systemd runs: from building and installing the
# package to purging it, with its own commands, run inside the container (the source tree is bound
# in at the same path). Run last: it needs the package purged and the logs gone, as on a machine
# that never had it.
check_readme() {
  python3 tests/e2e/follow_readme.py --systemd --exec "$(inside_prefix)"
}

check_metrics() {
  # The unit serves its counts on loopback: scraped as an operator's Prometheus would, beside one
  # player's session, under the unit's sandbox, and accepted by promtool.
  inside timeout 60 python3 "$leg_dir/metrics/check_service.py"
}

check_units() {
  # systemd finds nothing to say about the units, and rates each service 2.0 or lower (the
  # template's as its instance a).
  local name verify exposure
  for name in velantis-server.service velantis-server-logrotate.service \
    velantis-server-logrotate.timer; do
    verify=$(inside systemd-analyze verify "/usr/lib/systemd/system/$name" 2>&1) &&
      [ -z "$verify" ] || fail "systemd-analyze verify $name: $verify" || return 1
  done
  for name in velantis-server.service velantis-server@a.service velantis-server-logrotate.service; do
    exposure=$(inside systemd-analyze security "$name" 2>&1 |
      sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    log "systemd-analyze security rates $name $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' ||
      fail "exposure of $name, $exposure, is above 2.0" || return 1
  done
}

check_client() {
  # As the README says to see whether it serves.
  local out
  out=$(inside timeout 20 velantis-client --id 1 --connect --expect 2 2>&1) ||
    fail "velantis-client got no Welcome: $out" || return 1
  grep -q Welcome <<<"$out" || fail "velantis-client saw no Welcome: $out"
}

check_sandbox() {
  # A drop-in adds a probe to each service, run inside the service's own sandbox: it writes a file
  # wherever it can, and every such file that is seen outside the sandbox is a writable path of
  # the machine. The log folder must be the only one.
  local name token wrote dir leaks
  for name in velantis-server velantis-server-logrotate; do
    token=$name-$RANDOM
    inside mkdir -p "/run/systemd/system/$name.service.d"
    inside sh -c "printf '[Service]\nExecStartPost=/bin/sh $leg_dir/package/write-probe.sh $token\n' \
      >/run/systemd/system/$name.service.d/probe.conf"
    inside systemctl daemon-reload
    inside systemctl restart "$name.service" || fail "$name does not start with the probe" || return 1
    wrote=$(says -u "$name" | sed -n "s/^velantis-probe $token: wrote //p")
    inside rm "/run/systemd/system/$name.service.d/probe.conf"
    inside systemctl daemon-reload
    [ -n "$wrote" ] || fail "the probe inside $name reported nothing" || return 1
    leaks=
    for dir in $wrote; do
      inside test -e "$dir/.velantis-probe-$token" || continue
      inside rm -f "$dir/.velantis-probe-$token"
      case $dir in
        # The log folder (ReadWritePaths=) and the state folder (StateDirectory=).
        /var/log/velantis-server | /var/lib/velantis-server) ;;
        # The rotation's: the instances' log folders too (the instances step made two).
        /var/log/velantis-server-a | /var/log/velantis-server-b)
          [ "$name" = velantis-server-logrotate ] || leaks="$leaks $dir" ;;
        *) leaks="$leaks $dir" ;;
      esac
    done
    log "$name could write to $(xargs <<<"$wrote")" \
      "(outside its sandbox:${leaks:- its own folders only})"
    [ -z "$leaks" ] || fail "$name can write to the machine's$leaks" || return 1
  done
  inside systemctl restart velantis-server && wait_for 10 serving
}

check_port_taken() {
  # Another program holds UDP 15000, with 5,000 more UDP sockets open in the network namespace:
  # `systemctl start` fails within the check's 5 s and a second, with one clear message.
  inside systemctl stop velantis-server
  inside sh -c "timeout 60 python3 $leg_dir/package/hold-udp.py 15000 5000 >/run/velantis-hold.pid &"
  wait_for 10 inside test -s /run/velantis-hold.pid || fail "the port holder did not start" || return 1
  local cursor begin elapsed messages errors
  cursor=$(inside journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
  begin=$(date +%s%N)
  if inside systemctl start velantis-server; then
    fail "systemctl start succeeded while another program held the port"
  fi
  elapsed=$((($(date +%s%N) - begin) / 1000000))
  messages=$(says -u velantis-server --after-cursor "$cursor" | grep -c "has not bound UDP port 15000" || true)
  # The server's own words, filed at the priority "err" so that `journalctl -p err` finds them.
  errors=$(says -u velantis-server -p err --after-cursor "$cursor" |
    grep -c "Cannot bind UDP 0.0.0.0:15000" || true)
  inside systemctl stop velantis-server # ends the automatic restarts
  # shellcheck disable=SC2016 # expanded by the shell inside the container
  inside sh -c 'kill $(cat /run/velantis-hold.pid); rm /run/velantis-hold.pid'
  inside systemctl reset-failed velantis-server
  log "with the port taken and 5,000 more sockets open, systemctl start failed after $elapsed ms;" \
    "the journal says:"
  says -u velantis-server --after-cursor "$cursor" | sed 's/^/    /'
  [ "$elapsed" -le 6000 ] || fail "the failing start took $elapsed ms, more than 6 s"
  [ "$messages" = 1 ] || fail "the journal says 'has not bound' $messages times, not once: $(
    says -u velantis-server --after-cursor "$cursor")"
  [ "$errors" -ge 1 ] || fail "journalctl -p err shows no bind error"
  start_serving || fail "the service does not serve once the port is free"
}

check_restart_stop() {
  local before
  before=$(prop velantis-server MainPID)
  inside systemctl restart velantis-server || return 1
  wait_for 10 serving || fail "not serving after a restart" || return 1
  [ "$(prop velantis-server MainPID)" != "$before" ] || fail "restart kept the old server" || return 1
  local begin
  begin=$(date +%s%N)
  inside systemctl stop velantis-server
  log "systemctl stop took $((($(date +%s%N) - begin) / 1000000)) ms"
  [ "$(prop velantis-server ActiveState)" = inactive ] || fail "stop left it $(
    prop velantis-server ActiveState)" || return 1
  # SIGTERM ends the server itself, with exit code 0 (code 1 is "exited", 2 "killed").
  [ "$(prop velantis-server ExecMainCode)/$(prop velantis-server ExecMainStatus)" = 1/0 ] ||
    fail "the server did not exit by itself with 0 on SIGTERM: code $(
      prop velantis-server ExecMainCode), status $(prop velantis-server ExecMainStatus)" || return 1
  [ -z "$(port_holder)" ] || fail "UDP 15000 is still held after stop" || return 1
  start_serving
}

# rotate_fast / rotate_normally: the timer fires every second and the configuration rotates any log
# over 1 KB, as an operator could set them; and back.
rotate_fast() {
  inside cp "$rotation_config" "$rotation_config.leg"
  inside sed -i 's/^\( *maxsize\) .*/\1 1k/' "$rotation_config"
  inside mkdir -p /run/systemd/system/velantis-server-logrotate.timer.d
  inside sh -c "printf '[Timer]\nOnCalendar=\nOnActiveSec=1s\nOnUnitActiveSec=1s\nAccuracySec=50ms\n' \
    >/run/systemd/system/velantis-server-logrotate.timer.d/fast.conf"
  inside systemctl daemon-reload
}
rotate_normally() {
  inside systemctl stop velantis-server-logrotate.timer
  inside rm -f /run/systemd/system/velantis-server-logrotate.timer.d/fast.conf
  inside mv "$rotation_config.leg" "$rotation_config"
  inside systemctl daemon-reload
  inside systemctl start velantis-server-logrotate.timer
}

all_logged() {
  [ "$(inside sh -c "zcat -f $logs/Thread_0.logs* | grep -c 'bytes received'")" = \
    "$(metric 'velantis_datagrams_received_total{outcome="valid"}')" ]
}
check_rotation_under_load() {
  # The timer rotates the log every second during a load from velantis-loadgen; between them the
  # rotated files hold every datagram's record exactly once, every line whole.
  inside systemctl stop velantis-server velantis-server-logrotate.timer
  inside sh -c "rm -f $logs/* /var/lib/velantis-server/logrotate.state"
  start_serving || return 1
  rotate_fast
  inside systemctl start velantis-server-logrotate.timer
  inside sh -c "velantis-loadgen --players 8 --rate 100 --duration 4 --json --no-progress \
    >$leg_dir/load.json" || fail "velantis-loadgen failed"
  inside systemctl stop velantis-server-logrotate.timer
  # The players' last Disconnects may still be on their way into the log: the check waits until
  # the log holds a record for every datagram the server counts (rotation_check says what is
  # wrong if it never does).
  wait_for 30 all_logged || true
  inside python3 "$leg_dir/e2e/rotation_check.py" "$logs/Thread_0.logs" "$leg_dir/load.json" 3 ||
    fail "the rotated logs do not hold every record once"
  local failed
  failed=$(says -u velantis-server-logrotate -p err | tail -3)
  [ -z "$failed" ] || fail "the rotation reported errors: $failed"
  rotate_normally
}

check_logs_access() {
  # Every log, rotated or live, and every folder below the log folder belong to the group adm and
  # are readable by its members, as Debian's services' logs are, and by nobody else.
  inside sh -c 'id velantis-reader >/dev/null 2>&1 || useradd -M -G adm velantis-reader
    id velantis-outsider >/dev/null 2>&1 || useradd -M velantis-outsider'
  local files others
  # The folder's name with a slash: were it a symlink (to /var/log/private/...), the files behind it.
  files=$(inside find /var/log/velantis-server/ -type f | wc -l)
  log "$files logs below /var/log/velantis-server"
  [ "$files" -ge 2 ] || fail "no rotated logs to check: $files files" || return 1
  inside runuser -u velantis-reader -- find /var/log/velantis-server/ -type f -exec cat {} + \
    >/dev/null || fail "a member of adm cannot read every log" || return 1
  if inside runuser -u velantis-outsider -- cat "$logs/Thread_0.logs" >/dev/null 2>&1 ||
    inside runuser -u velantis-outsider -- ls /var/log/velantis-server >/dev/null 2>&1; then
    fail "a user outside adm can read the logs" || return 1
  fi
  others=$(inside find /var/log/velantis-server/ \( ! -group adm -o -perm /o=rwx -o -perm /g=w \))
  [ -z "$others" ] || fail "not the group adm's alone: $others"
}

check_symlink_attack() {
  # The server's user owns its log folder, so a compromised server may replace ThreadsLogs with a
  # symlink to a root-owned folder; the rotation, as that user, must leave the folder's files be.
  local victim=/srv/velantis-leg-victim before after
  inside systemctl stop velantis-server
  inside mkdir -p "$victim"
  inside sh -c "head -c 4096 /dev/zero | tr '\\0' x >$victim/important.logs"
  before=$(inside sha256sum "$victim/important.logs")
  inside mv "$logs" "$logs.leg"
  inside ln -s "$victim" "$logs"
  inside chown -h "$(inside stat -c %u "$logs.leg")" "$logs"
  rotate_fast
  inside systemctl start velantis-server-logrotate.service || true
  inside systemctl reset-failed velantis-server-logrotate.service
  after=$(inside sha256sum "$victim/important.logs" 2>&1 || true)
  [ "$before" = "$after" ] || fail "the root-owned file was changed: $after"
  [ "$(inside ls "$victim")" = important.logs ] || fail "the root-owned folder now holds: $(
    inside ls "$victim")"
  inside rm "$logs"
  inside mv "$logs.leg" "$logs"
  inside rm -rf "$victim"
  # Nor does the system's own logrotate, which runs as root, rotate anything of the package's.
  if inside grep -rl velantis /etc/logrotate.conf /etc/logrotate.d; then
    fail "the system's logrotate, as root, still rotates the package's logs"
  fi
  rotate_normally
  start_serving || fail "the service does not serve after the symlink check"
}

check_upgrade() {
  # Installing the package again is an upgrade: the service restarts and serves.
  local before
  before=$(prop velantis-server MainPID)
  inside dpkg -i "$leg_dir/velantis-server.deb" >/dev/null || return 1
  wait_for 10 serving || fail "not serving after the upgrade" || return 1
  [ "$(prop velantis-server MainPID)" != "$before" ] || fail "the upgrade did not restart it" ||
    return 1
  [ "$(prop velantis-server-logrotate.timer ActiveState)" = active ] ||
    fail "the rotation timer is not active after the upgrade"
}

# instance_metric PORT NAME: an instance's current value of a metric, whatever its labels.
instance_metric() {
  inside python3 -c "import urllib.request as u
print(u.urlopen('http://127.0.0.1:$1/metrics', timeout=5).read().decode())" |
    sed -n "s/^$2\(\|{[^}]*}\) //p"
}
udp_holder() { inside ss -H -uln "sport = :$1" -p | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1; }
# instance_serving NAME PORT OLD_PID: a new process of the instance, of the installed program (not
# a deleted one), holds its port and has its one player back.
instance_serving() {
  local pid
  pid=$(prop "velantis-server@$1" MainPID)
  [ "$pid" != 0 ] && [ "$pid" != "$3" ] && [ "$(udp_holder "$2")" = "$pid" ] &&
    [ "$(inside readlink "/proc/$pid/exe")" = /usr/bin/velantis-server ] &&
    [ "$(instance_metric $(($2 + 100)) velantis_registered_players)" = 1 ]
}

# The check, and whatever it leaves when it fails midway: the instances and their settings.
instances_upgrade_remove() {
  local status=0
  check_instances_upgrade_remove || status=1
  inside systemctl stop velantis-server@a velantis-server@b >/dev/null 2>&1 || true
  inside rm -f /etc/velantis-server/a.conf /etc/velantis-server/b.conf
  return "$status"
}

registered_one() { [ "$(instance_metric "$1" velantis_registered_players)" = 1 ]; }

check_instances_upgrade_remove() {
  # Two instances of the template, a player registered on each: an upgrade restarts both on the
  # new program with their player kept; a removal stops both and frees their ports.
  local name port pids=()
  for name in a:15001 b:15002; do
    port=${name#*:}
    inside sh -c "printf 'VELANTIS_PORT=%s\nVELANTIS_BIND=0.0.0.0\nVELANTIS_METRICS=%s\n%s\n' \
      $port 127.0.0.1:$((port + 100)) VELANTIS_DRAIN_TIMEOUT=2 >/etc/velantis-server/${name%:*}.conf"
  done
  inside systemctl start velantis-server@a velantis-server@b || fail "the instances do not start" ||
    return 1
  for name in a:15001 b:15002; do
    port=${name#*:}
    # Its first update, with the Welcome's entity id, proves the player's address: registered.
    inside timeout 60 velantis-client --port "$port" --id 7 --connect --move 1,1 --expect 3 \
      --wait 30 --quiet >/dev/null || fail "no Welcome from velantis-server@${name%:*}" ||
      return 1
    wait_for 30 registered_one $((port + 100)) ||
      fail "velantis-server@${name%:*} has not registered its player" || return 1
    inside python3 -c "import urllib.request as u
print(u.urlopen('http://127.0.0.1:$((port + 100))/metrics', timeout=5).read().decode())" |
      grep -q "instance=\"${name%:*}\"" || fail "velantis-server@${name%:*}'s metrics do not name it"
    pids+=("$(prop "velantis-server@${name%:*}" MainPID)")
  done
  inside dpkg -i "$leg_dir/velantis-server-newer.deb" >/dev/null || return 1
  wait_for 30 instance_serving a 15001 "${pids[0]}" ||
    fail "velantis-server@a after the upgrade: PID $(prop velantis-server@a MainPID) (was" \
      "${pids[0]}), running $(inside readlink "/proc/$(prop velantis-server@a MainPID)/exe")"
  wait_for 30 instance_serving b 15002 "${pids[1]}" ||
    fail "velantis-server@b after the upgrade: PID $(prop velantis-server@b MainPID) (was" \
      "${pids[1]}), running $(inside readlink "/proc/$(prop velantis-server@b MainPID)/exe")"
  inside dpkg --remove velantis-server >/dev/null || return 1
  for name in a:15001 b:15002; do
    [ "$(prop "velantis-server@${name%:*}" ActiveState)" != active ] ||
      fail "velantis-server@${name%:*} runs on after the removal"
    [ -z "$(udp_holder "${name#*:}")" ] || fail "UDP ${name#*:} is held after the removal"
  done
  inside rm -f /etc/velantis-server/a.conf /etc/velantis-server/b.conf
  inside dpkg -i "$leg_dir/velantis-server.deb" >/dev/null || return 1
  wait_for 30 serving || fail "not serving after installing again"
}

check_upgrade_from_first_release() {
  # An operator of 1.0.0 upgrades: under systemd that release's service never started (its start
  # check could not see the server from inside the sandbox). After the upgrade it serves, and the
  # root-run logrotate file of 1.0.0 is gone.
  [ -n "$first_deb" ] || return 0
  if installed; then inside dpkg --purge velantis-server >/dev/null; fi
  inside dpkg -i "$leg_dir/velantis-server-first.deb" >/dev/null 2>&1 || true
  inside test -e /etc/logrotate.d/velantis-server || fail "1.0.0 installed no logrotate file" ||
    return 1
  # Its dynamic user's logs are below /var/log/private, which only root may enter.
  inside test -L /var/log/velantis-server || fail "1.0.0 did not link its log folder" || return 1
  inside sh -c 'echo a line of 1.0.0 >/var/log/velantis-server/before-upgrade.logs'
  inside dpkg -i "$leg_dir/velantis-server.deb" >/dev/null || return 1
  wait_for 15 serving || fail "not serving after the upgrade from 1.0.0: $(
    inside systemctl status --no-pager velantis-server)" || return 1
  inside test ! -e /etc/logrotate.d/velantis-server ||
    fail "the upgrade from 1.0.0 left /etc/logrotate.d/velantis-server" || return 1
  inside test ! -e /var/log/private/velantis-server -a ! -L /var/log/velantis-server ||
    fail "the upgrade from 1.0.0 left the logs below /var/log/private" || return 1
  inside runuser -u velantis-reader -- grep -q "a line of 1.0.0" \
    /var/log/velantis-server/before-upgrade.logs ||
    fail "the logs of 1.0.0 are not readable by adm after the upgrade" || return 1
  [ "$(prop velantis-server-logrotate.timer ActiveState)" = active ] ||
    fail "the rotation timer is not active after the upgrade from 1.0.0"
}

check_remove_purge() {
  # Removal stops the service and its timer and keeps the configuration and the logs; purging
  # forgets the units' enablement, the configuration and the rotation's state but keeps the logs
  # unless asked.
  local path left
  inside sh -c "echo 'a log line' >/var/log/velantis-server/kept.logs"
  inside dpkg --remove velantis-server >/dev/null || return 1
  [ -z "$(port_holder)" ] || fail "UDP 15000 is held after removal" || return 1
  for path in /usr/bin/velantis-server /usr/bin/velantis-client "$unit"; do
    inside test ! -e "$path" || fail "$path is left after removal" || return 1
  done
  [ "$(prop velantis-server-logrotate.timer ActiveState)" = inactive ] ||
    fail "the rotation timer is still active after removal" || return 1
  inside test -e "$rotation_config" || fail "removal must keep the configuration" || return 1
  inside test ! -L /etc/systemd/system/velantis-server.service || fail "removal masked the unit" ||
    return 1
  inside dpkg --purge velantis-server >/dev/null || return 1
  left=$(inside find /etc /usr /var/lib/systemd /var/lib/dpkg/info /var/lib/velantis-server \
    /var/lib/private -name 'velantis-server*' 2>/dev/null || true)
  [ -z "$left" ] || fail "left after purge: $left" || return 1
  inside test -e /var/log/velantis-server/kept.logs || fail "purge removed the logs" || return 1
  inside dpkg -i "$leg_dir/velantis-server.deb" >/dev/null
  inside env VELANTIS_PURGE_LOGS=yes dpkg --purge velantis-server >/dev/null
  inside test ! -e /var/log/velantis-server || fail "VELANTIS_PURGE_LOGS=yes did not remove the logs" ||
    return 1
  inside test ! -e /var/log/private/velantis-server || fail "the logs are left inside /var/log/private"
}

check_e2e() {
  # The end-to-end suites against the installed server, run as `nobody` with the unit's
  # environment, and the start check against servers that serve, cannot bind or have ended. They
  # use UDP 15000 of the container's network, so the service stops meanwhile.
  inside systemctl stop velantis-server
  inside python3 "$leg_dir/e2e/run_e2e.py" --server /usr/bin/velantis-server --service-unit "$unit" \
    --service-user nobody || fail "the end-to-end suites failed against the installed server"
  start_serving || fail "the service does not serve after the end-to-end suites"
}

check_instances() {
  # Two servers of the template unit beside the plain one, each on the port its configuration
  # names, play at once, each logging in a folder of its own; its start check watches its port.
  local name port out verify
  for name in a:15001 b:15002; do
    inside sh -c "printf 'VELANTIS_PORT=%s\nVELANTIS_BIND=0.0.0.0\nVELANTIS_METRICS=127.0.0.1:%s\n' \
      ${name#*:} $((${name#*:} + 100)) >/etc/velantis-server/${name%:*}.conf"
  done
  inside systemctl start velantis-server@a velantis-server@b ||
    fail "the instances do not start: $(inside systemctl status --no-pager 'velantis-server@*')" ||
    return 1
  verify=$(inside systemd-analyze verify /usr/lib/systemd/system/velantis-server@a.service 2>&1) ||
    verify="exit $?: $verify"
  [ -z "$verify" ] || fail "systemd-analyze verify velantis-server@a.service: $verify"
  for name in a:15001 b:15002; do
    port=${name#*:}
    name=${name%:*}
    out=$(inside timeout 20 velantis-client --port "$port" --id 1 --connect --disconnect \
      --expect 2 --quiet 2>&1) || out="exit $?: $out"
    grep -q "Welcome(2) from=127.0.0.1:$port " <<<"$out" ||
      fail "velantis-server@$name on UDP $port: no Welcome: $out"
    inside grep -q "Client connected." \
      "/var/log/velantis-server-$name/OrlinStudio/Velantis/Server/ThreadsLogs/Thread_0.logs" ||
      fail "velantis-server@$name logged nothing in /var/log/velantis-server-$name"
  done
  # The rotation takes the instances' logs too: made larger than 1 KB, a's log is rotated.
  local log=/var/log/velantis-server-a/OrlinStudio/Velantis/Server/ThreadsLogs/Thread_0.logs
  inside sh -c "yes 'a line to rotate' | head -n 100 >>$log"
  inside cp "$rotation_config" "$rotation_config.leg"
  inside sed -i 's/^\( *maxsize\) .*/\1 1k/' "$rotation_config"
  inside systemctl start velantis-server-logrotate.service ||
    fail "the rotation failed: $(says -u velantis-server-logrotate | tail -3)"
  inside mv "$rotation_config.leg" "$rotation_config"
  inside test -e "$log.1" || fail "the rotation left velantis-server@a's log alone"
  serving || fail "the plain service stopped serving beside the instances"
  inside systemctl stop velantis-server@a velantis-server@b
  inside rm -f /etc/velantis-server/a.conf /etc/velantis-server/b.conf
}

# journal_has CURSOR TEXT: the service's journal since CURSOR holds TEXT. (That error lines go in
# at the priority "err" the port-taken step checks, on a server that lives long enough for
# journald to file its lines under the unit at once.)
journal_has() { says -u velantis-server --after-cursor "$1" | grep -F "$2" >/dev/null; }

# metric NAME: the service's current value of a metric, from its endpoint inside the container.
metric() {
  inside python3 -c "import urllib.request as u
print(u.urlopen('http://127.0.0.1:15100/metrics', timeout=5).read().decode())" |
    sed -n "s/^$1 //p"
}

registered() { [ "$(metric velantis_registered_players)" = "$1" ]; }
# Ends the load in the background ($load) as Ctrl+C would: it still reports what it measured.
end_load() {
  inside pkill -INT "^velantis-loadge"  # the name as the system keeps it, cut to 15 characters
  wait "$load"
}
check_players_kept() {
  # A restart, an upgrade to a newer package and the way back, each in the middle of a load, keep
  # all 16 players registered (beside any an earlier step left): their relays go on without a
  # Connect, and only those of the restart's own moment are lost.
  local how begin took players before lost expected dropped load
  # A stop drains the players first; a drain of 2 s, which they outlast, keeps each step short.
  # It stays for the rest of the leg: the players left registered here never leave, and every
  # later stop would wait out a whole drain for them. A runtime drop-in, not the package's
  # conffile, which a later upgrade would then ask about.
  local dropin=/run/systemd/system/velantis-server.service.d
  inside mkdir -p "$dropin"
  inside sh -c "printf '[Service]\nEnvironment=VELANTIS_DRAIN_TIMEOUT=2\n' >$dropin/drain.conf"
  inside systemctl daemon-reload
  inside systemctl restart velantis-server
  wait_for 60 serving || fail "not serving with a drain of 2 s" || return 1
  for how in restart upgrade downgrade; do
    before=$(metric velantis_registered_players)
    # The load outlasts the step however long dpkg takes on a busy machine, and is ended (SIGINT)
    # a moment after the new server counted the players: relays flow again by then.
    inside sh -c "velantis-loadgen --players 16 --rate 30 --duration 120 --drain 2 --json \
      --no-progress >$leg_dir/kept.json" &
    load=$!
    wait_for 30 registered $((before + 16)) || fail "the 16 players did not register" ||
      { end_load; return 1; }
    begin=$(date +%s%N)
    case $how in
      restart) inside systemctl restart velantis-server ;;
      upgrade) inside dpkg -i "$leg_dir/velantis-server-newer.deb" >/dev/null ;;
      downgrade) inside dpkg -i "$leg_dir/velantis-server.deb" >/dev/null 2>&1 ;;
    esac
    wait_for 60 serving || fail "not serving after the $how" || { end_load; return 1; }
    took=$((($(date +%s%N) - begin) / 1000000))
    players=$(metric velantis_registered_players)
    sleep 1
    end_load || fail "velantis-loadgen failed across the $how"
    lost=$(inside sed -n 's/.*"lost":\([0-9]*\).*/\1/p' "$leg_dir/kept.json")
    expected=$(inside sed -n 's/.*"expected":\([0-9]*\).*/\1/p' "$leg_dir/kept.json")
    # What the players' own sockets dropped on this busy machine is the machine's loss.
    dropped=$(inside sed -n 's/.*"loadgenSocketDrops":\([0-9]*\).*/\1/p' "$leg_dir/kept.json")
    log "$how under 16 players at 30 Hz: $took ms until serving again, $players players" \
      "registered after it ($before before the load), ${lost:-?} of ${expected:-?} relays lost," \
      "${dropped:-?} dropped by the players' sockets"
    [ "$players" = $((before + 16)) ] ||
      fail "the $how left $players players registered, not $((before + 16))"
    # 16 x 16 x 30 relays a second: the restart's own moment, with a second to spare, and no
    # more (players forgotten would lose every relay after it).
    [ "${lost:-999999}" -le $((7680 * (took + 1000) / 1000 + ${dropped:-0})) ] ||
      fail "the $how lost ${lost:-?} relays, more than its moment explains"
  done
}

check_settings() {
  # /etc/default/velantis-server's values take effect; a bad one fails the start with its reason
  # in the journal; a damaged players file is reported and survived.
  local saved cursor
  saved=$(inside cat /etc/default/velantis-server)
  inside sh -c 'echo VELANTIS_MAX_PLAYERS=0 >>/etc/default/velantis-server'
  cursor=$(inside journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
  if inside systemctl restart velantis-server; then
    fail "the service started with VELANTIS_MAX_PLAYERS=0"
  fi
  # journald may take a moment to file what a process wrote just before it ended.
  wait_for 5 journal_has "$cursor" "velantis-server: --max-players" ||
    fail "the journal does not say why the start failed: $(
      says -u velantis-server --after-cursor "$cursor")"
  inside systemctl stop velantis-server
  inside systemctl reset-failed velantis-server
  inside sh -c "sed -i '\$d' /etc/default/velantis-server &&
    echo VELANTIS_MAX_PLAYERS=2 >>/etc/default/velantis-server"
  start_serving || fail "the service does not start with VELANTIS_MAX_PLAYERS=2" || return 1
  [ "$(metric velantis_max_players)" = 2 ] ||
    fail "VELANTIS_MAX_PLAYERS=2 did not take effect: $(metric velantis_max_players)"
  inside systemctl stop velantis-server
  inside sh -c "printf '%s\n' \"\$1\" >/etc/default/velantis-server" sh "$saved"
  inside sh -c 'echo damaged >/var/lib/velantis-server/players'
  cursor=$(inside journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')
  start_serving || fail "the service does not start with a damaged players file" || return 1
  wait_for 5 journal_has "$cursor" "are damaged" ||
    fail "the damaged players file is not reported: $(says -u velantis-server --after-cursor "$cursor")"
}

# This machine's own copy of the package, if any, is left as it was.
host_state() { dpkg-query -W -f='${Status} ${Version}' velantis-server 2>/dev/null || true; }
host_before=$(host_state)
check_host_untouched() {
  [ "$(host_state)" = "$host_before" ] || fail "the package's state on this machine changed"
}

booted=
step boot boot_container
if [ -z "$booted" ]; then
  log "FAILED: no container, so nothing of the package could be checked"
  exit 1
fi
step install check_install
step doc-links check_doc_links
step units check_units
step client check_client
step metrics check_metrics
step e2e check_e2e
step instances check_instances
step sandbox check_sandbox
step port-taken check_port_taken
step restart-stop check_restart_stop
step players-kept check_players_kept
step settings check_settings
step rotation-under-load check_rotation_under_load
step logs-access check_logs_access
step symlink-attack check_symlink_attack
step upgrade check_upgrade
step instances-upgrade-remove instances_upgrade_remove
step upgrade-from-1.0.0 check_upgrade_from_first_release
step remove-purge check_remove_purge
step readme-with-systemd check_readme
step host-untouched check_host_untouched
[ "$status" = 0 ] && log "installed, served, rotated, upgraded, removed and purged under systemd"
exit "$status"
