#!/usr/bin/env bash
# CTest's emulator for the Windows test programs: wine-run.sh WINE PROGRAM [ARGUMENTS...]
#
# Every test process on POSIX gets a data folder of its own (XDG_DATA_HOME); under Wine they all
# share the prefix's AppData\Local. With VELANTIS_WINE_FRESH_DATA=1, which scripts/test-windows.sh
# sets for its throw-away prefix, the server's folder there is removed before each program runs,
# so no test sees the log files of the ones before it. Tests then have to run one at a time.
#
# Now and then Wine itself fails to start a program: it ends at once with an error status and
# without a word, before the program ran (once in a CI run, 0.01 s into one test of 68). A test
# program always prints something on standard output, so such a run is Wine's failure, not the
# test's, and it is started once more, saying so. What the program prints is passed on as it
# comes; a copy of its standard output is kept only to see whether there was any.
set -u
wine=$1
shift
if [ "${VELANTIS_WINE_FRESH_DATA:-}" = 1 ] && [ -n "${WINEPREFIX:-}" ]; then
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/OrlinStudio
fi
printed=$(mktemp)
trap 'rm -f "$printed"' EXIT
for try in 1 2; do
  "$wine" "$@" | tee "$printed"
  status=${PIPESTATUS[0]}
  if [ "$status" = 0 ] || [ -s "$printed" ] || [ "$try" = 2 ]; then
    exit "$status"
  fi
  echo "wine-run.sh: Wine ended $1 with status $status before it printed anything;" \
    "starting it once more" >&2
done
