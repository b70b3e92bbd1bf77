#!/usr/bin/env bash
# Installs what building and testing the server needs, when it is missing. Packages are Debian's;
# without root nothing is installed and a missing tool is reported instead.
# Usage: scripts/setup.sh [extra-package[:architecture] ...]
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev python3 clang clang-format
          libclang-rt-14-dev libcli11-dev libboost-dev nlohmann-json3-dev shellcheck python3-flake8
          help2man
          "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run as root or install them with apt-get." >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A package of another architecture (wine32:i386) needs that architecture enabled first.
for package in "${missing[@]}"; do
  if [[ $package == *:* ]] &&
    ! dpkg --print-foreign-architectures | grep -qx "${package##*:}"; then
    dpkg --add-architecture "${package##*:}"
  fi
done
apt-get update -qq </dev/null
# Waits for another apt or dpkg run on the same machine to finish rather than failing at once.
apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" \
  </dev/null >/dev/null
