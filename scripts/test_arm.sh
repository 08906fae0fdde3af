#!/usr/bin/env bash
# Usage: scripts/test_arm.sh
#
# The board build: sets up a fresh machine for cross building (as root), builds every program, the
# simulated board and the tests for ARM in build-arm/ (preset "arm"), runs the whole suite under
# qemu-arm, checks the footprint and makes the packages (the programs' and the recorder's), which
# lintian must accept, then checks the programs' protections (scripts/check_hardening.sh) and that two
# builds of the commit give the same packages (scripts/check_reproducible.sh: this build's and one more).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/setup.sh g++-arm-linux-gnueabihf qemu-user googletest lintian
cmake --preset arm >/dev/null
cmake --build --preset arm
ctest --preset arm
scripts/footprint.sh -B build-arm || fail "footprint (scripts/footprint.sh)"
make_packages build-arm build-arm
ls -l build-arm/board-tools_*_armhf.deb build-arm/board-tools-*-armhf.tar.gz \
    build-arm/boardsim_*_armhf.deb build-arm/boardsim-*-armhf.tar.gz
# Debian's own verdict on the packages, the programs' and the recorder's: no error and no warning (the
# run path /lib is overridden, with the reason, in the programs' package).
if lintian --allow-root --fail-on error,warning build-arm/board-tools_*_armhf.deb build-arm/boardsim_*_armhf.deb; then
    pass "lintian: clean"
else
    fail "lintian: an error or a warning"
fi
# Each check below ends with its own verdict; this script's comes last.
scripts/check_hardening.sh build-arm || fail "hardening (scripts/check_hardening.sh)"
scripts/check_reproducible.sh --first build-arm || fail "reproducible packages (scripts/check_reproducible.sh)"
finish "the board build: the suite under qemu-arm, the footprint, the packages, lintian, hardening, reproducibility"
