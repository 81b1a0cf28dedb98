#!/usr/bin/env bash
# Applies the house style (.clang-format at the root) to every C++ source file
# in the repository, or with --check lists the files that differ from it and
# fails. The formatter is Debian's clang-format 14; other versions lay some
# constructs out differently, so the check insists on that one.
set -euo pipefail
cd "$(dirname "$0")/.."
CLANG_FORMAT=${CLANG_FORMAT:-clang-format-14}
command -v "$CLANG_FORMAT" >/dev/null || { echo "format: $CLANG_FORMAT not found (Debian package clang-format-14)"; exit 2; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! "$CLANG_FORMAT" --style=file "$f" | cmp -s "$f" -; then
      echo "not formatted: $f"
      bad=1
    fi
  done
  [ "$bad" = 0 ] && echo "format: ${#files[@]} files follow .clang-format"
  exit "$bad"
fi
"$CLANG_FORMAT" --style=file -i "${files[@]}"
