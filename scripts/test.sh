#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, the
# AddressSanitizer/UndefinedBehaviorSanitizer build, and bounded fuzz runs.
# Installs the Debian packages it needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

"$ROOT/scripts/install-deps.sh" test

section() { printf '\n==== %s ====\n' "$*"; }

section "House style (clang-format)"
./scripts/format.sh --check

section "Release build and tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVM_BENCH=ON >/dev/null
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release --output-on-failure -j "$JOBS"

section "Shipped Linux library: loads on glibc 2.17 and later"
./scripts/build-shipped.sh
./scripts/glibc-check.sh build/release

section "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVM_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS"

section "ThreadSanitizer: concurrent AMI_Init calls"
./scripts/tsan.sh

section "Fuzzing (${FUZZ_SECONDS} s per target)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVM_FUZZ=ON -DVM_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$JOBS"
for src in fuzz/*_fuzz.cpp; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cpp)
  corpus_seed="fuzz/corpus/${name%_fuzz}"
  work="build/fuzz/corpus-${name%_fuzz}"
  mkdir -p "$work"
  echo "-- $name"
  if ! "build/fuzz/fuzz/$name" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
      -artifact_prefix="build/fuzz/${name}-" "$work" "$corpus_seed" > "build/fuzz/$name.log" 2>&1; then
    tail -n 60 "build/fuzz/$name.log"
    echo "FAILED: fuzz target $name (log: build/fuzz/$name.log)"
    exit 1
  fi
  grep -E 'stat::number_of_executed_units' "build/fuzz/$name.log" || true
done

if [ "${SKIP_WINDOWS:-0}" != 1 ]; then
  section "Windows x64 DLL under Wine"
  ./scripts/windows-check.sh
fi

section "All tests passed"
