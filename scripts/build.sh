#!/usr/bin/env bash
# The one build line every other script and tool relies on: programs end up in build/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBOARD_TOOLS_WERROR=ON >/dev/null
cmake --build build -j2
