#!/usr/bin/env bash
# The board build: sets up a fresh machine for cross building, builds every program, the simulated
# board and the tests for ARM in build-arm/, runs the whole suite under qemu-arm, checks the footprint
# and makes the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh g++-arm-linux-gnueabihf qemu-user googletest
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-arm -j2
ctest --test-dir build-arm --output-on-failure -j2
scripts/footprint.sh -B build-arm
(cd build-arm && cpack >/dev/null)
ls -l build-arm/board-tools_*_armhf.deb build-arm/board-tools-*-armhf.tar.gz
