#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when something is
# missing. "test" installs what the test command needs; "run" what the main
# job needs.
set -euo pipefail
what=${1:-test}
# libfftw3-dev: the FFT reference the benchmarks compare against (never linked into the model).
pkgs=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libfftw3-dev clang-14 libclang-rt-14-dev clang-format-14 valgrind)
# The host tool's plot tests render with gnuplot.
if [ "$what" = test ]; then pkgs+=(gnuplot-nox); fi
# The main job (scripts/run-model.sh): compiler, CMake and gnuplot for the plots.
if [ "$what" = run ]; then pkgs=(cmake ninja-build g++ gnuplot-nox); fi
# The Windows x64 check (scripts/windows-check.sh): MinGW-w64 and Wine.
if [ "$what" = windows ]; then pkgs=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64); fi
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
