#!/usr/bin/env bash
# Windows x64 check: cross-builds VELMOR7700X_x64.dll and the Windows host tool
# with MinGW-w64 from the same sources, checks the DLL's export and import
# tables, runs the DLL under Wine on a set of channels and parameter strings,
# and compares every output column with the Linux library's (to 1e-12 of the
# column's largest value) and every message text byte for byte.
# Installs MinGW-w64 and Wine when they are missing.
# Prints "Windows x64 check: PASSED" (exit 0) or "Windows x64 check: FAILED" (exit 1).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}
LINUX_BUILD=${LINUX_BUILD:-build/release}
WIN_BUILD=${WIN_BUILD:-build/windows}
WORK=${WORK:-build/windows-check}
RTOL=1e-12

failures=()
fail() { failures+=("$*"); echo "FAIL: $*"; }
finish() {
  echo
  if [ ${#failures[@]} -eq 0 ]; then
    echo "Windows x64 check: PASSED"
    exit 0
  fi
  echo "Windows x64 check: FAILED (${#failures[@]} problem(s))"
  for f in "${failures[@]}"; do echo "  - $f"; done
  exit 1
}
step() { printf '\n---- %s ----\n' "$*"; }

step "Tools: MinGW-w64 and Wine"
if ! "$ROOT/scripts/install-deps.sh" windows; then
  fail "could not install g++-mingw-w64-x86-64-posix and wine64"
  finish
fi
WINE=""
for w in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$w" >/dev/null 2>&1; then WINE=$(command -v "$w"); break; fi
done
if [ -z "$WINE" ]; then
  fail "no wine64 binary found"
  finish
fi
echo "wine: $WINE"

step "Linux build ($LINUX_BUILD)"
if [ ! -f "$LINUX_BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$LINUX_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVM_TESTS=OFF >/dev/null || { fail "Linux configure"; finish; }
fi
cmake --build "$LINUX_BUILD" -j "$JOBS" --target VELMOR7700X_x64 ami-host || { fail "Linux build"; finish; }

step "Windows x64 cross build ($WIN_BUILD)"
if [ ! -f "$WIN_BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$WIN_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVM_TESTS=OFF >/dev/null || { fail "Windows configure"; finish; }
fi
cmake --build "$WIN_BUILD" -j "$JOBS" --target VELMOR7700X_x64 ami-host || { fail "Windows cross build"; finish; }
DLL="$WIN_BUILD/VELMOR7700X_x64.dll"
EXE="$WIN_BUILD/ami-host.exe"

step "Export and import tables"
OBJDUMP=x86_64-w64-mingw32-objdump
exports=$($OBJDUMP -p "$DLL" | awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/{print $NF; next} on{on=0}' | sort | tr '\n' ' ')
echo "exports of $(basename "$DLL"): $exports"
[ "$exports" = "AMI_Close AMI_Init " ] || fail "the DLL must export exactly AMI_Init and AMI_Close, it exports: $exports"
# Only DLLs every Windows x64 system has: no MinGW runtime (libstdc++, libgcc,
# libwinpthread) may be needed beside the model.
for bin in "$DLL" "$EXE"; do
  imports=$($OBJDUMP -p "$bin" | awk '/DLL Name:/{print $3}' | sort -u | tr '\n' ' ')
  echo "imports of $(basename "$bin"): $imports"
  for d in $imports; do
    case "$(echo "$d" | tr 'A-Z' 'a-z')" in
      kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*|advapi32.dll|user32.dll|ntdll.dll|bcrypt.dll|ws2_32.dll|shell32.dll) ;;
      *) fail "$(basename "$bin") imports $d, which is not a Windows system DLL" ;;
    esac
  done
done

step "Runs: Linux library versus Windows DLL under Wine"
rm -rf "$WORK"
mkdir -p "$WORK/win" "$WORK/lin" "$WORK/channels"
cp "$DLL" "$EXE" "$WORK/win/"
AMI=VELMOR7700X.ami
[ -f "$AMI" ] || AMI=models/VELMOR7700X.ami
cp "$AMI" "$WORK/win/VELMOR7700X.ami"
LHOST="$ROOT/$LINUX_BUILD/ami-host"
LLIB="$ROOT/$LINUX_BUILD/VELMOR7700X_x64.so"
export WINEPREFIX=${WINEPREFIX:-$ROOT/build/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -d "$WINEPREFIX" ]; then echo "creating the Wine prefix $WINEPREFIX (first run only, about 20 s)"; fi

# Channels, written once by the Linux host so that both sides read the same
# numbers (CSV in shortest round-trip form).
mkch() { # name, host options...
  local name=$1; shift
  "$LHOST" --model "$LLIB" --ami "$AMI" "$@" --save-channel "$WORK/channels/$name.csv" >/dev/null 2>&1 ||
    [ -s "$WORK/channels/$name.csv" ] || fail "could not write channel $name"
}
mkch fr4_30cm
mkch fr4_30cm_xt3 --aggressors 3
mkch fr4_20cm_16spb --length 0.2 --samples-per-bit 16
mkch fr4_100cm_64spb --length 1.0 --samples-per-bit 64 --aggressors 1
# A short hand-made channel: a few samples at 16 samples per bit of 10 Gb/s.
{
  echo "time_s,through_Vps"
  awk 'BEGIN { dt = 1e-10 / 16; for (i = 0; i < 96; i++) { x = (i - 20) / 6; printf "%.17g,%.17g\n", i * dt, exp(-x * x) / (6 * sqrt(3.14159265358979) * dt) } }'
} > "$WORK/channels/short.csv"

# name | channel | bit rate (Gb/s) | parameters
cases=(
  "auto_typical|fr4_30cm|12.8|"
  "manual_fast_xtalk|fr4_30cm_xt3|12.8|AutoInit=0 PreEmphasis=7 CornerCase=2 OutputGain=0.75"
  "auto_slow_16spb|fr4_20cm_16spb|12.8|AutoInit=1 CornerCase=1"
  "auto_tempinv_long|fr4_100cm_64spb|12.8|AutoInit=1 CornerCase=4 OutputGain=1.3"
  "manual_leakage_short|short|10|AutoInit=0 PreEmphasis=15 CornerCase=3"
  "state_out_of_range|fr4_30cm|12.8|AutoInit=0 PreEmphasis=16"
  "corner_out_of_range|fr4_30cm|12.8|CornerCase=7"
  "zero_gain|short|10|OutputGain=0"
)

compare_csv() { # linux.csv windows.csv -> prints the worst relative difference; fails on mismatch
  local a=$1 b=$2
  if [ "$(wc -l < "$a")" != "$(wc -l < "$b")" ] || [ "$(head -1 "$a")" != "$(head -1 "$b")" ]; then
    echo "different shape"
    return 1
  fi
  local n
  n=$(head -1 "$a" | awk -F, '{print NF}')
  paste -d, "$a" "$b" | awk -F, -v n="$n" -v rtol="$RTOL" '
    NR == 1 { split($0, h, ","); next }
    {
      for (j = 1; j <= n; j++) {
        x = $j + 0; y = $(j + n) + 0; d = x - y; if (d < 0) d = -d
        if (d > maxd[j]) maxd[j] = d
        if (x < 0) x = -x; if (y < 0) y = -y
        if (x > s[j]) s[j] = x; if (y > s[j]) s[j] = y
      }
    }
    END {
      bad = 0; worst = 0
      for (j = 1; j <= n; j++) {
        r = s[j] > 0 ? maxd[j] / s[j] : maxd[j]
        if (r > worst) worst = r
        if (maxd[j] > rtol * s[j]) { bad = 1; printf "column %s differs: max |difference| %g, column scale %g; ", h[j], maxd[j], s[j] }
      }
      printf "worst relative difference %.3g\n", worst
      exit bad
    }'
}

for c in "${cases[@]}"; do
  IFS='|' read -r name channel rate params <<< "$c"
  # shellcheck disable=SC2086
  "$LHOST" --model "$LLIB" --ami "$AMI" --channel "$WORK/channels/$channel.csv" --bit-rate "$rate" \
    --out "$WORK/lin/$name" $params > "$WORK/lin/$name.stdout" 2> "$WORK/lin/$name.stderr"
  lstatus=$?
  cp "$WORK/channels/$channel.csv" "$WORK/win/$channel.csv"
  # shellcheck disable=SC2086
  (cd "$WORK/win" && "$WINE" ./ami-host.exe --model VELMOR7700X_x64.dll --ami VELMOR7700X.ami \
    --channel "$channel.csv" --bit-rate "$rate" --out "out_$name" $params > "$name.stdout" 2> "$name.stderr")
  wstatus=$?
  result="Linux exit $lstatus, Windows exit $wstatus"
  if [ "$lstatus" -ne "$wstatus" ] || [ "$lstatus" -gt 1 ]; then
    fail "$name: exit status Linux $lstatus, Windows $wstatus ($(head -1 "$WORK/win/$name.stderr"))"
    echo "$name: $result"
    continue
  fi
  lret=$(grep '^AMI_Init returned' "$WORK/lin/$name/summary.txt")
  wret=$(grep '^AMI_Init returned' "$WORK/win/out_$name/summary.txt" | tr -d '\r')
  [ "$lret" = "$wret" ] || fail "$name: Linux '$lret', Windows '$wret'"
  if ! cmp -s "$WORK/lin/$name/message.txt" "$WORK/win/out_$name/message.txt"; then
    fail "$name: message texts differ"
    diff "$WORK/lin/$name/message.txt" "$WORK/win/out_$name/message.txt" | head -10
  fi
  if cmp_out=$(compare_csv "$WORK/lin/$name/impulse.csv" "$WORK/win/out_$name/impulse.csv"); then
    echo "$name: $lret, message identical, $(head -1 "$WORK/lin/$name/impulse.csv" | awk -F, '{print (NF - 1) / 2}') column(s) x $(($(wc -l < "$WORK/lin/$name/impulse.csv") - 1)) rows agree, $cmp_out"
  else
    fail "$name: impulse columns differ: $cmp_out"
  fi
done

finish
