# shellcheck shell=bash disable=SC2034 # read by the scripts that source it
# The commit of the first release, 1.0.0: the package leg upgrades from it (scripts/test-package.sh)
# and the capacity runs measure it as "before" (scripts/run-capacity.sh, whose plot,
# scripts/plot-capacity.py, reads this line too).
baseline_commit=1ef4b09
