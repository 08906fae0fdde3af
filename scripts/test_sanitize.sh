#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer (clang) in
# build-asan/ and runs the entire test suite on it, end-to-end tests included: every program the
# tests start is the instrumented one. The first sanitizer report ends that process and fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang libclang-rt-14-dev
cmake --workflow --preset asan
