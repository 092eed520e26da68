#!/usr/bin/env bash
# Installs what the build, the tests and the run command need, when missing.
# Idempotent and non-interactive; apt-get update runs only when something is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libmariadb-dev mariadb-server-core mariadb-client-core)
if [ "${LS_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
