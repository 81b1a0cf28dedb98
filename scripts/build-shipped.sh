#!/usr/bin/env bash
# Builds the Linux library that is handed to simulators,
# build/ship/VELMOR7700X_x64.so, so that it loads on every Linux still in
# service (glibc 2.17 and later).
#
# A library asks for the symbol versions of the C library it was linked
# against, so it is built in a Debian 11 root (glibc 2.31, g++ 10.2.1) made
# with debootstrap and kept in build/debian11-root; its link pins the few math
# functions whose newer versions glibc 2.29 introduced (model/OldGlibcMath.cpp).
# The C++ runtime is linked statically, as in every build. The result is
# checked by scripts/check-glibc-symbols.sh.
#
# Needs root (through sudo when not root) for debootstrap and chroot, and
# Debian's archive the first time. Exit status 3: the root could not be made.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOTFS=${VM_OLD_ROOT:-build/debian11-root}
SUITE=bullseye
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

if [ ! -x "$ROOTFS/usr/bin/g++" ] || [ ! -e "$ROOTFS/.complete" ]; then
  if ! command -v debootstrap >/dev/null; then
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends debootstrap
  fi
  echo "Making a Debian 11 root in $ROOTFS (once; about 600 MB)"
  $SUDO rm -rf "$ROOTFS"
  mkdir -p "$(dirname "$ROOTFS")"
  if ! $SUDO debootstrap --variant=minbase --include=g++,cmake,ninja-build "$SUITE" "$ROOTFS" "$MIRROR" \
      > build/debootstrap.log 2>&1; then
    tail -n 20 build/debootstrap.log
    echo "build-shipped: could not make a Debian 11 root from $MIRROR (log: build/debootstrap.log)"
    exit 3
  fi
  $SUDO touch "$ROOTFS/.complete"
fi

# The sources as committed or changed in the work tree, copied with their
# times so that the build inside the root is incremental.
$SUDO mkdir -p "$ROOTFS/src"
git ls-files -z --cached --others --exclude-standard | \
  (while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) | \
  tar --null -T - -cf - | $SUDO tar -C "$ROOTFS/src" -xpf -
$SUDO chroot "$ROOTFS" /bin/sh -c \
  'cd /src && cmake -S . -B /build/ship -G Ninja -DCMAKE_BUILD_TYPE=Release -DVM_TESTS=OFF >/dev/null &&
   cmake --build /build/ship --target VELMOR7700X_x64'
mkdir -p build/ship
cp "$ROOTFS/build/ship/VELMOR7700X_x64.so" build/ship/VELMOR7700X_x64.so
echo "build-shipped: build/ship/VELMOR7700X_x64.so ($($SUDO chroot "$ROOTFS" g++ --version | head -n 1))"
