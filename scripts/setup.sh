#!/usr/bin/env bash
# Usage: scripts/setup.sh [PACKAGE...]
#
# Installs with apt-get what a fresh Debian machine lacks for building and testing the tools (run as
# root): CMake, make, g++, GoogleTest, sigrok-cli and gtkwave (which check the simulated board's
# waveform files), mandoc and man-db (which lint the manual pages), and the PACKAGEs given.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_options "$@"

packages=(cmake make g++ libgtest-dev libgmock-dev sigrok-cli gtkwave mandoc man-db "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
