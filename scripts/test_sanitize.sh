#!/usr/bin/env bash
# Usage: scripts/test_sanitize.sh
#
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer by clang in
# build-asan/ (preset "asan") and runs the entire test suite on it, end-to-end tests included: every
# program the tests start is the instrumented one. The first sanitizer report ends that process and
# fails its test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/setup.sh clang libclang-rt-14-dev
cmake --workflow --preset asan
