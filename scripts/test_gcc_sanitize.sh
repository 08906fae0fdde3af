#!/usr/bin/env bash
# A user's ordinary GCC sanitizer build: the sanitizer flags on a plain configure line (no preset, no
# warnings as errors), the whole tree built in build-gcc-sanitize/, and the whole suite run on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
cmake -S . -B build-gcc-sanitize -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-gcc-sanitize -j2
ctest --test-dir build-gcc-sanitize --output-on-failure -j2
