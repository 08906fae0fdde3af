#!/usr/bin/env bash
# Usage: scripts/test_gcc_sanitize.sh
#
# A user's ordinary GCC sanitizer build: the sanitizer flags as a plain configure line gives them (no
# warnings as errors), preset "gcc-sanitize", the whole tree built in build-gcc-sanitize/ and the
# whole suite run on it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset gcc-sanitize >/dev/null
cmake --build --preset gcc-sanitize
ctest --preset gcc-sanitize
