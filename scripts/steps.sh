# Sourced by the leg scripts: `step NAME COMMAND...` runs one step, reports it through the
# script's own `log` with its time, and records a failure in `status` so later steps still run.
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

# build_programs TARGET...: the programs a leg drives, built in the release preset's folder
# (build/release, which the soak leg builds too), so that the legs share one optimised build.
build_programs() {
  cmake --preset release >/dev/null &&
    cmake --build --preset release -j "${VELANTIS_JOBS:-2}" --target "$@"
}
