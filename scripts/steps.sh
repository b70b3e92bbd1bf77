# shellcheck shell=bash disable=SC2034 # its variables are read by the scripts that source it
# Sourced by scripts/test.sh and the scripts it runs, from the top of the source tree:
#   cd "$(dirname "$0")/.." && . scripts/steps.sh
#
# A script runs its checks as `step NAME COMMAND...`: each is reported through `log` with its
# time, and a failed one sets `status` while the steps after it still run; the script ends with
# `exit "$status"`. Inside a check, `fail MESSAGE` is the one way to record a failure: it says so
# and fails the step, also when the check goes on (`|| return 1` where it cannot).

repo=$PWD
jobs=${VELANTIS_JOBS:-2}
status=0
failed_steps=()
step_failed=0

# Lines say which script wrote them; a script may keep a prefix of its own by defining `log`
# before it sources this file.
if ! declare -F log >/dev/null; then
  log() {
    local script=${0##*/}
    echo "${script%.sh}: $*"
  }
fi

step() {
  local name=$1
  shift
  local begin=$SECONDS
  step_failed=0
  if "$@" && [ "$step_failed" = 0 ]; then
    log "$name passed in $((SECONDS - begin)) s"
  else
    log "$name FAILED after $((SECONDS - begin)) s"
    status=1
    failed_steps+=("$name")
  fi
  step_failed=0
}

# steps_at_once NAME COMMAND [NAME COMMAND...]: runs the steps at the same time, for checks that
# mostly wait and share nothing (each in namespaces of its own, or the only one on the host's
# loopback). Each step's lines are kept and shown whole, in the order given, once it ended.
steps_at_once() {
  local dir i
  local -a names=() pids=()
  dir=$(mktemp -d "${TMPDIR:-/tmp}/velantis-steps.XXXXXX")
  while [ $# -ge 2 ]; do
    (
      status=0
      step "$1" "$2"
      exit "$status"
    ) >"$dir/${#names[@]}.log" 2>&1 &
    pids+=($!)
    names+=("$1")
    shift 2
  done
  for i in "${!names[@]}"; do
    if ! wait "${pids[$i]}"; then
      status=1
      failed_steps+=("${names[$i]}")
    fi
    cat "$dir/$i.log"
  done
  rm -rf "$dir"
}

fail() {
  log "$*" >&2
  step_failed=1
  return 1
}

# expect WHAT COMMAND...: fails the step, saying what did not hold, unless the command succeeds.
expect() {
  local what=$1
  shift
  "$@" || fail "  not so: $what"
}

# wait_for TIMEOUT_S COMMAND...: true as soon as the command succeeds within TIMEOUT_S.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# skip_unless_root REASON: ends the script with success, saying why, when it does not run as root.
skip_unless_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  log "SKIPPED: $*"
  exit 0
}

# install_missing COMMAND:PACKAGE...: installs the package of each command that is not found.
install_missing() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] || scripts/setup.sh "${missing[@]}"
}

# in_network_namespace COMMAND...: runs the command in a network namespace of its own, with only
# its loopback interface up; the namespace goes away with the command's last process.
in_network_namespace() {
  unshare --net sh -c 'ip link set lo up && exec "$@"' in_network_namespace "$@"
}

# build_programs TARGET...: the programs a leg drives, built in the release preset's folder
# (build/release, which the soak leg builds too), so that the legs share one optimised build.
build_programs() {
  cmake --preset release >/dev/null &&
    cmake --build --preset release -j "$jobs" --target "$@"
}

# build_debs SOURCE-TREE: the Debian packages of the tree, made afresh in its build/package folder.
build_debs() {
  (cd "$1" && cmake --preset package >/dev/null && cmake --build --preset package -j "$jobs" &&
    rm -f build/package/*.deb && cd build/package && cpack -G DEB >/dev/null)
}

# lint_debs REPORT DEB...: lintian finds no error in the packages, and every warning it gives is
# one packaging/README.md explains; what it says is kept in REPORT.
lint_debs() {
  local report=$1 tag
  shift
  lintian --fail-on error "$@" 2>&1 | grep -v 'root privileges' | tee "$report"
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian found errors in $*" || return 1
  while read -r tag; do
    grep -q "\`$tag\`" packaging/README.md ||
      fail "lintian warning $tag is not explained in packaging/README.md" || return 1
  done < <(sed -n 's/^W: [^ ]* \([a-z0-9-]*\).*/\1/p' "$report" | sort -u)
}

# with_server SERVER COMMAND...: runs the command in a network namespace of its own, with the
# server on its loopback UDP 15000 (under $server_runner, such as qemu-aarch64, when set) and a
# data folder of its own, both gone afterwards; the command's exit status, or 1 when the server
# did not come up within two minutes.
with_server() {
  # shellcheck disable=SC2016 # the inner script expands its own variables
  in_network_namespace env server_runner="${server_runner:-}" bash -c '
    data=$(mktemp -d)
    XDG_DATA_HOME=$data $server_runner "$0" >"$data/console.txt" 2>&1 &
    server=$!
    status=0
    deadline=$((SECONDS + 120))
    until grep -q "Waiting a message" "$data/console.txt"; do
      if ! kill -0 $server 2>/dev/null || [ $SECONDS -gt $deadline ]; then
        echo "with_server: $0 did not come up:" >&2
        cat "$data/console.txt" >&2
        status=1
        break
      fi
      sleep 0.05
    done
    [ $status -ne 0 ] || timeout 300 "$@" || status=$?
    kill $server
    wait $server 2>/dev/null || true
    rm -rf "$data"
    exit $status' "$@"
}
