#!/usr/bin/env bash
# The main job: installs what is needed (Debian packages, only when missing),
# builds the model library and the host tool (Release), builds the library
# that ships to simulators (build/ship/, see build-shipped.sh), and runs
# ami-host with it on the embedded lossy channel with AutoInit on. It prints
# AMI_Init's message,
# the pre-emphasis state the model chose and the eye before and after the
# model, and writes CSV files and PNG plots to out/. Then it shows how much
# pre-emphasis matters on that channel: the eye after the model for every
# corner and state, with AutoInit's choices marked (out/sweep/). Extra
# arguments go to the first ami-host run (for example CornerCase=2,
# --aggressors 2).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
./scripts/install-deps.sh run
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DVM_TESTS=OFF >/dev/null
cmake --build build/run -j "$JOBS"
# The library handed to simulators is built in a Debian 11 root so that it
# loads on older C libraries (scripts/build-shipped.sh); the runs below use it.
MODEL=build/ship/VELMOR7700X_x64.so
if ! ./scripts/build-shipped.sh; then
  echo "run-model: the shipped library could not be built; running this machine's build instead,"
  echo "run-model: which loads only on C libraries as new as this one's"
  MODEL=build/run/VELMOR7700X_x64.so
fi
echo
build/run/ami-host --model "$MODEL" --out out --plot AutoInit=1 "$@"
echo
build/run/ami-host --model "$MODEL" --sweep --out out/sweep --plot
