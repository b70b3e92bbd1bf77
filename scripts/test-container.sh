#!/usr/bin/env bash
# shellcheck disable=SC2317  # the steps are called through `step`
# The container leg: the image of deploy/Containerfile built with podman and run as an operator
# would. The end-to-end suites play through a published UDP port and through a network namespace
# the leg makes; the image as shipped stops within a second of `podman stop` with exit code 0,
# prints nothing per datagram and keeps its log on the volume; SIGTERM under 16 players drains
# (the players leave on their own and lose nothing, or the drain's timeout ends it; a second
# SIGTERM ends it at once); a server whose game port is taken is unhealthy; `podman play kube`
# runs the Kubernetes Deployment, stays healthy through podman's own health check run over a
# minute, publishes nothing but the game's port, and a player plays through its hostPort; the
# released images (amd64 and arm64, one manifest list) build twice to one digest, the arm64 one
# with an AArch64 server; the manifests pass yamllint.
#
# Everything the leg makes (containers, pods, images, namespaces) is removed when it ends, also
# on failure. It runs in a network namespace of its own, so the ports it publishes are nobody
# else's. VELANTIS_DEPLOY_DIR=DIR takes the Containerfile and manifests from DIR instead of
# deploy/ (e.g. those of an older commit, to see the leg fail on them). Needs root; without root
# the leg says so and is skipped (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."

log() { echo "test-container: $*"; }

if [ "$(id -u)" -ne 0 ]; then
  log "SKIPPED: building and running images with podman here needs root"
  exit 0
fi
if [ -z "${VELANTIS_CONTAINER_NETNS:-}" ]; then
  export VELANTIS_CONTAINER_NETNS=1
  exec unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$0" "$@"
fi
# catatonit: the pause process of the pods `podman play kube` makes.
# file: what the arm64 image's server is.
scripts/setup.sh podman runc netavark aardvark-dns iptables catatonit yamllint file

# shellcheck source=scripts/steps.sh
. scripts/steps.sh

work=$(mktemp -d /tmp/velantis-container.XXXXXX)
image=localhost/velantis-server:leg$$
release=localhost/velantis-server-release-$$
deploy=${VELANTIS_DEPLOY_DIR:-deploy}
prefix=vcont$$
# This machine's cgroups refuse crun, podman's default runtime: runc, without default ulimits.
cat >"$work/containers.conf" <<CONF
[containers]
default_ulimits = []
[engine]
runtime = "runc"
[network]
network_backend = "netavark"
CONF
export CONTAINERS_CONF=$work/containers.conf

cleanup() {
  local name
  for name in $(podman ps -a --format '{{.Names}}' 2>/dev/null | grep -E "^($prefix|velantis-e2e-$$-)" ||
    true); do
    podman rm -f -v -t 0 "$name" >/dev/null 2>&1 || true
  done
  if [ -f "$work/deployment.yaml" ]; then
    podman play kube --down "$work/deployment.yaml" >/dev/null 2>&1 || true
  fi
  podman rmi -f "$image" >/dev/null 2>&1 || true
  podman manifest rm "$release:list" >/dev/null 2>&1 || true
  podman images --format '{{.Repository}}:{{.Tag}}' 2>/dev/null | grep "^$release:" |
    xargs -r podman rmi -f >/dev/null 2>&1 || true
  # The pause image `podman play kube` builds for its pods, unless something else still uses it.
  podman images --format '{{.Repository}}:{{.Tag}}' 2>/dev/null | grep '^localhost/podman-pause:' |
    xargs -r podman rmi >/dev/null 2>&1 || true
  ip netns delete "$prefix-players" 2>/dev/null || true
  ip netns delete "$prefix-server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

server=build/container/velantis-server
client=build/release/tools/velantis-client
loadgen=build/release/tools/velantis-loadgen

build() {
  cmake --preset container >/dev/null &&
    cmake --build --preset container -j "${VELANTIS_JOBS:-2}" --target velantis-server &&
    build_programs velantis-client velantis-loadgen &&
    podman build -q --format docker --layers=false -f "$deploy/Containerfile" -t "$image" \
      build/container/image >/dev/null || return 1
  local user size
  user=$(podman image inspect "$image" --format '{{.Config.User}}')
  size=$(podman image inspect "$image" --format '{{.Size}}')
  log "image $image: $((size / 1024)) KiB, user $user"
  [ "$user" = 65532:65532 ] ||
    fail "the image runs as \"$user\", not 65532:65532" || return 1
}

e2e_published() {
  python3 tests/e2e/run_e2e.py --server "$server" --container "$image" \
    test_startup test_protocol test_descriptors
}

# The players in one namespace, the server's container joining another, a veth between them.
e2e_namespace() {
  ip netns add "$prefix-players"
  ip netns add "$prefix-server"
  ip link add eth0 netns "$prefix-players" type veth peer name eth0 netns "$prefix-server"
  ip -n "$prefix-players" addr add 10.231.0.1/24 dev eth0
  ip -n "$prefix-server" addr add 10.231.0.2/24 dev eth0
  local side
  for side in players server; do
    ip -n "$prefix-$side" link set lo up
    ip -n "$prefix-$side" link set eth0 up
  done
  # nsenter, not `ip netns exec`, which mounts a /sys without the cgroups that runc needs.
  nsenter --net="/run/netns/$prefix-players" python3 tests/e2e/run_e2e.py --server "$server" \
    --container "$image" --container-network "ns:/run/netns/$prefix-server" \
    --server-host 10.231.0.2 test_startup test_protocol
}

says() { podman logs "$1" 2>&1 | grep -q "$2"; }  # says CONTAINER TEXT
running() { [ "$(podman inspect "$1" --format '{{.State.Running}}' 2>/dev/null)" = true ]; }
log_file() { echo "$1/OrlinStudio/Velantis/Server/ThreadsLogs/Thread_0.logs"; }
connected() { [ "$(grep -c "Client connected." "$(log_file "$1")" 2>/dev/null)" -ge "$2" ]; }
json_field() { sed -n "s/.*\"$2\":\([0-9.]*\).*/\1/p" "$1"; }  # json_field FILE NAME

# The image as it ships: no option given to it.
as_shipped() {
  local logs=$work/logs
  install -d -o 65532 -g 65532 "$logs"
  podman run -d --name "$prefix-shipped" --health-interval disable -p 127.0.0.1:15000:15000/udp \
    -v "$logs:/var/log/velantis-server" "$image" >/dev/null || return 1
  wait_for 30 says "$prefix-shipped" "Waiting a message" || fail "the server did not start" ||
    return 1
  timeout 20 "$client" --id 1 --connect --move 1,2 --count 50 --rate 100 --disconnect \
    --expect 52 --quiet >/dev/null || fail "no game through the published port"
  podman healthcheck run "$prefix-shipped" >/dev/null ||
    fail "the health check fails on a serving server"
  local begin end code
  begin=$(date +%s%N)
  podman stop -t 10 "$prefix-shipped" >/dev/null
  end=$(date +%s%N)
  code=$(podman inspect "$prefix-shipped" --format '{{.State.ExitCode}}')
  log "podman stop took $(((end - begin) / 1000000)) ms, exit code $code"
  [ "$code" = 0 ] || fail "exit code $code after podman stop"
  # The time is reported above; a stop that needed podman's SIGKILL after -t 10 is the failure.
  [ $((end - begin)) -lt 10000000000 ] || fail "podman stop had to kill the server"
  local output
  output=$(podman logs "$prefix-shipped" 2>&1)
  if grep -q "bytes received\|bytes sent" <<<"$output"; then
    fail "progress lines in the container's output: $(grep -c "bytes" <<<"$output")"
  fi
  local records
  records=$(grep -c "bytes received" "$(log_file "$logs")" 2>/dev/null || true)
  [ "${records:-0}" = 52 ] || fail "the volume's log holds $records records, not 52"
  podman rm "$prefix-shipped" >/dev/null
}

# drain_server NAME TIMEOUT: a server of the image, draining for TIMEOUT s on SIGTERM, its log on
# a folder of its own ($work/NAME), serving on the published UDP 15000.
drain_server() {
  install -d -o 65532 -g 65532 "$work/$1"
  podman run -d --name "$prefix-$1" --health-interval disable -p 127.0.0.1:15000:15000/udp \
    -v "$work/$1:/var/log/velantis-server" "$image" --progress=off --drain-timeout="$2" \
    >/dev/null || return 1
  wait_for 30 says "$prefix-$1" "Waiting a message" || fail "the server $1 did not start"
}

# drain_load NAME SECONDS: 16 players at 30 Hz for SECONDS in the background (pid in $load),
# their figures in $work/NAME.json; returns once all 16 are in the server's log.
drain_load() {
  local pid
  pid=$(podman inspect "$prefix-$1" --format '{{.State.Pid}}')
  "$loadgen" --players 16 --rate 30 --duration "$2" --drain 2 --server-pid "$pid" --json \
    --no-progress >"$work/$1.json" &
  load=$!
  wait_for 30 connected "$work/$1" 16 || fail "the 16 players did not connect"
}

# The server drains on SIGTERM. Players who leave on their own within the timeout lose nothing
# (a relay lost to a full socket buffer on this busy machine is the machine's, which the socket
# drops count); without them leaving it ends at the timeout, with exit code 0; a second SIGTERM
# ends it at once.
drain() {
  local load begin took code lost drops relays_dropped
  drain_server leave 120 || return 1
  drain_load leave 8 || return 1
  podman kill --signal TERM "$prefix-leave" >/dev/null
  wait "$load" || fail "velantis-loadgen failed during the drain"
  podman wait "$prefix-leave" >/dev/null
  code=$(podman inspect "$prefix-leave" --format '{{.State.ExitCode}}')
  lost=$(json_field "$work/leave.json" lost)
  drops=$(json_field "$work/leave.json" loadgenSocketDrops)
  # An update the server's socket dropped is 16 relays lost.
  relays_dropped=$((16 * $(json_field "$work/leave.json" serverSocketDrops) + drops))
  log "drain, players leaving: exit code $code, ${lost:-?} relays lost," \
    "$relays_dropped to full socket buffers"
  [ "$code" = 0 ] || fail "exit code $code after a drain the players ended"
  [ "${lost:-1}" -le "$relays_dropped" ] ||
    fail "the drain lost ${lost:-?} relays, $relays_dropped of them to the machine"
  podman rm "$prefix-leave" >/dev/null

  drain_server stay 4 || return 1
  drain_load stay 120 || return 1
  begin=$SECONDS
  podman kill --signal TERM "$prefix-stay" >/dev/null
  podman wait "$prefix-stay" >/dev/null
  took=$((SECONDS - begin))
  code=$(podman inspect "$prefix-stay" --format '{{.State.ExitCode}}')
  log "drain, players staying: ended after ${took} s (timeout 4 s), exit code $code"
  kill -0 "$load" 2>/dev/null || fail "the players were gone before the drain's timeout ended it"
  kill "$load" 2>/dev/null
  wait "$load" 2>/dev/null
  [ "$took" -ge 4 ] || fail "the drain ended after ${took} s, before its 4 s timeout"
  [ "$code" = 0 ] || fail "exit code $code after the drain's timeout"
  podman rm "$prefix-stay" >/dev/null

  drain_server twice 600 || return 1
  drain_load twice 120 || return 1
  podman kill --signal TERM "$prefix-twice" >/dev/null
  wait_for 30 says "$prefix-twice" "Draining:" || fail "the first SIGTERM did not start a drain"
  podman kill --signal TERM "$prefix-twice" >/dev/null
  # At once: far within the 600 s the drain would have taken.
  timeout 60 podman wait "$prefix-twice" >/dev/null || fail "a second SIGTERM did not end it"
  kill "$load" 2>/dev/null
  wait "$load" 2>/dev/null
  podman rm -f -t 0 "$prefix-twice" >/dev/null
}

# A server that cannot bind its game port stays alive by design; its health check must say so.
# The port is held by another server in the same network namespace.
port_taken() {
  podman run -d --name "$prefix-holder" --health-interval disable "$image" --progress=off \
    --metrics=127.0.0.1:15100 >/dev/null || return 1
  wait_for 30 says "$prefix-holder" "Waiting a message" || fail "the holder did not start" ||
    return 1
  podman exec "$prefix-holder" /usr/bin/velantis-server --check-health=127.0.0.1:15100 ||
    fail "the server holding the port is not healthy"
  podman run -d --name "$prefix-taken" --health-interval disable \
    --network "container:$prefix-holder" "$image" --progress=off \
    --metrics=127.0.0.1:15101 >/dev/null || return 1
  wait_for 30 says "$prefix-taken" "Binding error" || fail "the second server bound the port" ||
    return 1
  if running "$prefix-taken" &&
    podman exec "$prefix-taken" /usr/bin/velantis-server --check-health=127.0.0.1:15101; then
    fail "a server whose game port is taken is healthy: $(podman logs "$prefix-taken" 2>&1)"
  fi
  # -v: the image's log volume, anonymous here.
  podman rm -f -v -t 0 "$prefix-taken" >/dev/null &&
    podman rm -f -v -t 0 "$prefix-holder" >/dev/null
}

# The Deployment as `podman play kube` runs it (one replica: this is one node). Podman turns the
# liveness probe into the container's health check, with restart on failure; it runs no timer here
# (no systemd), so the leg runs the check as the timer would, three times over ten seconds.
kube() {
  sed -e "s|image: localhost/velantis-server:.*|image: $image|" -e "s|replicas: .*|replicas: 1|" \
    -e "s|^  name: velantis-server$|  name: $prefix-kube|" \
    "$deploy/kubernetes/deployment.yaml" >"$work/deployment.yaml"
  podman play kube "$work/deployment.yaml" >/dev/null 2>"$work/kube.err" ||
    fail "podman play kube failed: $(cat "$work/kube.err")" || return 1
  local container
  container=$(podman ps -a --format '{{.Names}}' | grep -- "^$prefix-kube-.*-server$" | head -1)
  [ -n "$container" ] || fail "no server container in the pod" || return 1
  wait_for 30 says "$container" "Waiting a message" || fail "the pod's server did not start" ||
    return 1
  local published
  published=$(podman port "$container" | grep -v '^15000/udp' || true)
  [ -z "$published" ] || fail "published on the host beyond the game's port: $published"
  local round health
  for round in 1 2 3; do
    [ "$round" = 1 ] || sleep 5
    podman healthcheck run "$container" >/dev/null 2>&1 ||
      fail "health check $round of 3 failed: $(podman inspect "$container" --format \
        '{{.State.Status}} {{json .State.Health}}' | head -c 600)"
  done
  health=$(podman inspect "$container" --format '{{.State.Status}} {{.State.Health.Status}}')
  log "the pod after three health checks over ten seconds: $health"
  [ "$health" = "running healthy" ] || fail "the pod's server is \"$health\" after its health checks"
  timeout 20 "$client" --id 1 --connect --move 3,4 --count 10 --disconnect --expect 12 \
    --quiet >/dev/null || fail "no game through the hostPort"
  podman play kube --down "$work/deployment.yaml" >/dev/null 2>&1 ||
    fail "podman play kube --down failed"
}

# The released images: amd64 and arm64 from the same Containerfile, OCI format with the commit's
# time on every file and entry, joined in one manifest list; two clean builds give one digest.
release_images() {
  cmake --preset container-arm64 >/dev/null &&
    cmake --build --preset container-arm64 -j "${VELANTIS_JOBS:-2}" --target velantis-server ||
    return 1
  local when revision arch round digests=()
  when=$(git log -1 --format=%ct)
  revision=$(git rev-parse HEAD)
  for round in 1 2; do
    for arch in amd64 arm64; do
      local context=build/container/image
      [ "$arch" = amd64 ] || context=build/container-arm64/image
      podman build -q --layers=false --format oci --timestamp "$when" --arch "$arch" \
        --build-arg REVISION="$revision" -f "$deploy/Containerfile" \
        -t "$release:$arch-$round" "$context" >/dev/null 2>"$work/build.err" ||
        fail "podman build --arch $arch: $(cat "$work/build.err")" || return 1
      digests+=("$(podman image inspect "$release:$arch-$round" --format '{{.Digest}}')")
    done
  done
  log "digests, amd64 and arm64, two builds: ${digests[*]}"
  [ "${digests[0]} ${digests[1]}" = "${digests[2]} ${digests[3]}" ] ||
    fail "two clean builds gave different digests"
  local label
  label=$(podman image inspect "$release:arm64-1" \
    --format '{{index .Labels "org.opencontainers.image.revision"}}')
  [ "$label" = "$revision" ] || fail "the image's revision label is \"$label\""
  # The arm64 image's server, as its file system holds it.
  local root machine
  root=$(podman image mount "$release:arm64-1") || return 1
  machine=$(file -b "$root/usr/bin/velantis-server")
  podman image unmount "$release:arm64-1" >/dev/null
  log "the arm64 image's server: ${machine%%, version*}"
  grep -q "ARM aarch64" <<<"$machine" || fail "the arm64 image's server is $machine"
  podman manifest create "$release:list" >/dev/null &&
    podman manifest add "$release:list" "containers-storage:$release:amd64-1" >/dev/null &&
    podman manifest add "$release:list" "containers-storage:$release:arm64-1" >/dev/null ||
    return 1
  local platforms
  platforms=$(podman manifest inspect "$release:list" |
    sed -n 's/.*"architecture": "\([a-z0-9]*\)".*/\1/p' | sort | tr '\n' ' ')
  [ "$platforms" = "amd64 arm64 " ] || fail "the manifest list holds \"$platforms\""
}

manifests() {
  yamllint -d '{extends: default, rules: {line-length: {max: 100}, document-start: disable}}' \
    "$deploy/kubernetes" "$deploy/agones"
}

step build build || { log "FAILED: no image"; exit 1; }
step manifests manifests
step e2e-published-port e2e_published
step e2e-namespace e2e_namespace
step as-shipped as_shipped
step drain drain
step port-taken port_taken
step kube kube
step release-images release_images
[ "$status" = 0 ] &&
  log "built, played through a port and a namespace, stopped, drained, run as a pod, released"
exit "$status"
