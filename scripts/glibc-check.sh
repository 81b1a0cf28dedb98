#!/usr/bin/env bash
# Checks that the shipped Linux library loads and works on an older C
# library: its symbol versions (scripts/check-glibc-symbols.sh, never
# skipped), then a load test in the Debian 11 root (glibc 2.31) that
# scripts/build-shipped.sh made. There a plain C host, built in the root and
# linked without libpthread (as many simulators are on glibc before 2.34),
# loads build/ship/VELMOR7700X_x64.so and makes a fixed set of AMI_Init calls
# (tests/model/ami_cases.c: corners, states, AutoInit, gains, aggressors,
# sample grids, zero columns, failing parameters); the same host built here
# makes them with the native build (build/release). Return values and
# messages must be identical and every output sample within 1e-12 of its
# column's largest magnitude.
#   scripts/glibc-check.sh [NATIVE_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
NATIVE=${1:-build/release}
ROOTFS=${VM_OLD_ROOT:-build/debian11-root}
OUT=build/glibc-check
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
mkdir -p "$OUT"

./scripts/check-glibc-symbols.sh build/ship/VELMOR7700X_x64.so

if [ ! -e "$ROOTFS/.complete" ]; then
  echo "glibc-check: SKIPPED the load test: there is no Debian 11 root ($ROOTFS); scripts/build-shipped.sh makes it"
  exit 0
fi
for f in "$NATIVE/tests/ami_cases" "$NATIVE/VELMOR7700X_x64.so"; do
  [ -e "$f" ] || { echo "glibc-check: $f not found (build $NATIVE first)"; exit 2; }
done

$SUDO rm -rf "$ROOTFS/check"
$SUDO mkdir -p "$ROOTFS/check"
$SUDO cp tests/model/ami_cases.c build/ship/VELMOR7700X_x64.so "$ROOTFS/check/"
$SUDO chroot "$ROOTFS" gcc -std=c99 -O2 -o /check/ami_cases /check/ami_cases.c -ldl -lm
echo "C library in the root: $($SUDO chroot "$ROOTFS" ldd --version | head -n 1)"
# The .ibs file's Linux line names the compiler that builds the shipped library.
version=$($SUDO chroot "$ROOTFS" g++ -dumpfullversion)
if ! grep -q "^Executable Linux_gcc${version}_64 " VELMOR7700X.ibs; then
  echo "glibc-check: FAILED: VELMOR7700X.ibs does not name Linux_gcc${version}_64, the compiler of the shipped library"
  exit 1
fi
if $SUDO chroot "$ROOTFS" ldd /check/ami_cases | grep -q libpthread; then
  echo "glibc-check: FAILED: the test host links libpthread"
  exit 1
fi
$SUDO chroot "$ROOTFS" env LD_DEBUG=files /check/ami_cases run /check/VELMOR7700X_x64.so \
  > "$OUT/debian11.txt" 2> "$OUT/debian11-loader.log"
if grep -q 'file=libpthread' "$OUT/debian11-loader.log"; then
  echo "glibc-check: FAILED: libpthread was loaded (see $OUT/debian11-loader.log)"
  exit 1
fi
"$NATIVE/tests/ami_cases" run "$NATIVE/VELMOR7700X_x64.so" > "$OUT/native.txt"
if "$NATIVE/tests/ami_cases" compare "$OUT/native.txt" "$OUT/debian11.txt" 1e-12 > "$OUT/compare.txt"; then
  tail -n 1 "$OUT/compare.txt"
  echo "glibc-check: PASSED (the shipped library in Debian 11, without libpthread, agrees with the native build)"
else
  head -n 40 "$OUT/compare.txt"
  echo "glibc-check: FAILED (details: $OUT/compare.txt)"
  exit 1
fi
