#!/usr/bin/env bash
# Usage: scripts/build.sh
#
# Configures build/ with the preset "release" and builds it: every program, the simulated board and
# the tests, for this machine; the programs end up in build/bin. The build the other scripts rely on.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release
