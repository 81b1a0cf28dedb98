#!/usr/bin/env bash
# The main job: installs what is needed (Debian packages, only when missing),
# builds the model library and the host tool (Release), and runs ami-host on
# the embedded lossy channel with AutoInit on. It prints AMI_Init's message,
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
echo
build/run/ami-host --out out --plot AutoInit=1 "$@"
echo
build/run/ami-host --sweep --out out/sweep --plot
