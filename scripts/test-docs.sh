#!/usr/bin/env bash
# The docs leg: follows the README as a newcomer would, with its own commands, in the order of an
# installation's life (tests/e2e/follow_readme.py says how the commands are found and checked):
# build and install the Debian package, start the server by hand as the README says where no
# systemd runs, check it, play the worked example, stop it, remove and purge the package, and
# check after each command what it left behind.
#
# It installs a package and binds UDP 15000, so it needs root and runs in a network namespace of
# its own. It purges what it installed when it ends, and its commands delete the log folder: so
# where velantis-server is already installed, or its logs are kept, the leg is skipped and says
# why, leaving them as they are. Without root it says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/steps.sh
. scripts/steps.sh

skip_unless_root "installing the package needs root"
installed=$(dpkg-query -W -f='${Status}' velantis-server 2>/dev/null || true)
if [ -n "$installed" ] && [ "$installed" != "unknown ok not-installed" ]; then
  log "SKIPPED: velantis-server is installed here ($installed), and following the README would" \
    "purge it. Purge it first (apt purge velantis-server) to run this leg."
  exit 0
fi
if [ -e /var/log/velantis-server ]; then
  log "SKIPPED: /var/log/velantis-server exists, and the README's commands delete it." \
    "Move it away first to run this leg."
  exit 0
fi
# What the README's commands need and cannot fetch inside the namespace: the package's build
# tools (help2man makes its manual pages), and logrotate, on which the package depends.
scripts/setup.sh dpkg-dev logrotate help2man

in_network_namespace python3 tests/e2e/follow_readme.py "$@"
