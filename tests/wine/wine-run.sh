#!/bin/sh
# CTest's emulator for the Windows test programs: wine-run.sh WINE PROGRAM [ARGUMENTS...]
#
# Every test process on POSIX gets a data folder of its own (XDG_DATA_HOME); under Wine they all
# share the prefix's AppData\Local. With VELANTIS_WINE_FRESH_DATA=1, which scripts/test-windows.sh
# sets for its throw-away prefix, the server's folder there is removed before each program runs,
# so no test sees the log files of the ones before it. Tests then have to run one at a time.
wine=$1
shift
if [ "${VELANTIS_WINE_FRESH_DATA:-}" = 1 ] && [ -n "${WINEPREFIX:-}" ]; then
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/OrlinStudio
fi
exec "$wine" "$@"
