#!/usr/bin/env bash
# Lists what a Linux build of the model library needs from the system, and
# fails when it would not load everywhere it must: a glibc symbol version
# newer than the bound (GLIBC_2.17 by default, RHEL 7's C library), any
# version of the C++ runtime or of libgcc (both must be linked in
# statically), a dynamic dependency other than the C library's own, or an
# export other than AMI_Init and AMI_Close.
#   scripts/check-glibc-symbols.sh [LIBRARY] [BOUND]
set -euo pipefail
cd "$(dirname "$0")/.."
LIB=${1:-build/ship/VELMOR7700X_x64.so}
BOUND=${2:-2.17}
[ -f "$LIB" ] || { echo "check-glibc-symbols: $LIB not found"; exit 2; }
bad=0
dyn=$(objdump -T "$LIB")
echo "Symbol versions $LIB asks for:"
versions=$(grep -oE '\((GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)' <<<"$dyn" | tr -d '()' | sort -V | uniq -c)
sed 's/^/  /' <<<"$versions"
while read -r _ v; do
  case "$v" in
    GLIBC_*)
      n=${v#GLIBC_}
      if [ "$(printf '%s\n%s\n' "$n" "$BOUND" | sort -V | tail -n 1)" != "$BOUND" ]; then
        echo "  too new: $v, needed by: $(grep -F "($v)" <<<"$dyn" | awk '{print $NF}' | tr '\n' ' ')"
        bad=1
      fi ;;
    *)
      echo "  not allowed: $v (the C++ runtime and libgcc must be linked statically)"
      bad=1 ;;
  esac
done <<<"$versions"
needed=$(readelf -d "$LIB" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "Dynamic dependencies: $needed"
for n in $needed; do
  case "$n" in
    libc.so.6|libm.so.6|ld-linux-x86-64.so.2) ;;
    *) echo "  not allowed: $n"; bad=1 ;;
  esac
done
exports=$(awk '$2 == "g" && $4 ~ /^\.text$/ {print $NF}' <<<"$dyn" | sort | tr '\n' ' ')
echo "Exports: $exports"
if [ "$exports" != "AMI_Close AMI_Init " ]; then
  echo "  the library must export exactly AMI_Init and AMI_Close"
  bad=1
fi
if [ "$bad" = 0 ]; then
  echo "check-glibc-symbols: PASSED (nothing newer than GLIBC_$BOUND)"
else
  echo "check-glibc-symbols: FAILED"
fi
exit "$bad"
