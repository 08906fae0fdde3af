#!/usr/bin/env bash
# Usage: scripts/test.sh
#
# Sets up a fresh Debian machine (scripts/setup.sh, as root), builds build/ (scripts/build.sh, preset
# "release") and runs the whole test suite there (ctest preset "release").
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --preset release
