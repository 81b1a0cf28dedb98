#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when something is
# missing. "test" installs what the test command needs; "run" what the main
# job needs.
set -euo pipefail
what=${1:-test}
pkgs=(cmake ninja-build g++ libgtest-dev libbenchmark-dev clang-14 libclang-rt-14-dev valgrind)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
