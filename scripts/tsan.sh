#!/usr/bin/env bash
# Builds the model library and its end-to-end test with ThreadSanitizer in
# build/tsan and runs the thread test: separate AMI_Init calls on separate
# threads must not race.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build/tsan -j "$JOBS" --target VELMOR7700X_x64 test_model
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  build/tsan/tests/test_model --gtest_filter='AmiLibrary.Threads*'
