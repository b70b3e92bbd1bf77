#!/usr/bin/env bash
# shellcheck disable=SC2317  # the steps are called through `step`
# The container leg: the image of deploy/Containerfile built with podman and run as an operator
# would. The end-to-end suites play through a published UDP port and through a network namespace
# the leg makes; the image as shipped stops within a second of `podman stop` with exit code 0,
# prints nothing per datagram and keeps its log on the volume; `podman play kube` runs the
# Kubernetes Deployment and a player plays through its hostPort; the manifests pass yamllint.
# Everything the leg makes (containers, pods, the image, namespaces) is removed when it ends, also
# on failure. Needs root; without root the leg says so and is skipped (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."

log() { echo "test-container: $*"; }

if [ "$(id -u)" -ne 0 ]; then
  log "SKIPPED: building and running images with podman here needs root"
  exit 0
fi
# catatonit: the pause process of the pods `podman play kube` makes.
scripts/setup.sh podman runc netavark aardvark-dns iptables catatonit yamllint

# shellcheck source=scripts/steps.sh
. scripts/steps.sh

work=$(mktemp -d /tmp/velantis-container.XXXXXX)
image=localhost/velantis-server:leg$$
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
    podman rm -f -t 0 "$name" >/dev/null 2>&1 || true
  done
  if [ -f "$work/deployment.yaml" ]; then
    podman play kube --down "$work/deployment.yaml" >/dev/null 2>&1 || true
  fi
  podman rmi -f "$image" >/dev/null 2>&1 || true
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

build() {
  cmake --preset container >/dev/null &&
    cmake --build --preset container -j "${VELANTIS_JOBS:-2}" --target velantis-server &&
    build_programs velantis-client &&
    podman build -q --format docker --layers=false -f deploy/Containerfile -t "$image" \
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

# The image as it ships: no option given to it.
as_shipped() {
  local logs=$work/logs
  install -d -o 65532 -g 65532 "$logs"
  podman run -d --name "$prefix-shipped" --health-interval disable -p 127.0.0.1:15000:15000/udp \
    -v "$logs:/var/log/velantis-server" "$image" >/dev/null || return 1
  local tries=0
  until podman logs "$prefix-shipped" 2>/dev/null | grep -q "Waiting a message"; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || fail "the server did not start" || return 1
    sleep 0.1
  done
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
  records=$(grep -c "bytes received" \
    "$logs/OrlinStudio/Velantis/Server/ThreadsLogs/Thread_0.logs" 2>/dev/null || true)
  [ "${records:-0}" = 52 ] || fail "the volume's log holds $records records, not 52"
  podman rm "$prefix-shipped" >/dev/null
}

kube() {
  sed "s|image: localhost/velantis-server:.*|image: $image|" deploy/kubernetes/deployment.yaml \
    >"$work/deployment.yaml"
  podman play kube "$work/deployment.yaml" >/dev/null || return 1
  local container
  container=$(podman ps --format '{{.Names}}' | grep -- '-server$' | grep velantis-server | head -1)
  [ -n "$container" ] || fail "no server container in the pod" || return 1
  timeout 20 "$client" --id 1 --connect --move 3,4 --count 10 --disconnect --expect 12 \
    --quiet >/dev/null || fail "no game through the hostPort"
  # The readiness probe's request, made where the kubelet's would arrive: the pod's own network.
  podman exec "$container" /usr/bin/velantis-server --check-health=127.0.0.1:15100 ||
    fail "the readiness endpoint does not answer"
  podman play kube --down "$work/deployment.yaml" >/dev/null || fail "podman play kube --down failed"
}

manifests() {
  yamllint -d '{extends: default, rules: {line-length: {max: 100}, document-start: disable}}' \
    deploy/kubernetes deploy/agones
}

step build build || { log "FAILED: no image"; exit 1; }
step manifests manifests
step e2e-published-port e2e_published
step e2e-namespace e2e_namespace
step as-shipped as_shipped
step kube kube
[ "$status" = 0 ] && log "built, played through a port and a namespace, stopped, run as a pod"
exit "$status"
