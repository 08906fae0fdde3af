#!/usr/bin/env bash
# The board build: sets up a fresh machine for cross building, builds every program, the simulated
# board and the tests for ARM in build-arm/, runs the whole suite under qemu-arm, checks the footprint
# and makes the packages, which lintian must accept, then checks the programs' protections and that two
# builds of the commit give the same packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh g++-arm-linux-gnueabihf qemu-user googletest lintian
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DCMAKE_BUILD_TYPE=Release -DBOARD_TOOLS_WERROR=ON >/dev/null
cmake --build build-arm -j2
ctest --test-dir build-arm --output-on-failure -j2
scripts/footprint.sh -B build-arm
(cd build-arm && cpack >/dev/null)
ls -l build-arm/board-tools_*_armhf.deb build-arm/board-tools-*-armhf.tar.gz
# Debian's own verdict on the package: no error and no warning (the run path /lib is overridden, with
# the reason, in the package).
lintian --allow-root --fail-on error,warning build-arm/board-tools_*_armhf.deb
echo "lintian: clean"
scripts/check_hardening.sh build-arm
scripts/check_reproducible.sh
