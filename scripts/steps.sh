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
