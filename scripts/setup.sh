#!/usr/bin/env bash
# Usage: scripts/setup.sh [PACKAGE...]
#
# Installs with apt-get what a fresh Debian machine lacks for building and testing the tools (run as
# root): CMake, make, g++, GoogleTest, sigrok-cli and gtkwave (which check the simulated board's
# waveform files), mandoc and man-db (which lint the manual pages), lintian (which checks the
# packages), and the PACKAGEs given.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_options "$@"

packages=(cmake make g++ libgtest-dev libgmock-dev sigrok-cli gtkwave mandoc man-db lintian "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # A mirror caught in mid-sync fails one index or another; what is to be installed is most often
    # in the rest, and the install says so when it is not.
    apt-get update -qq || echo "setup: apt-get update failed; installing from the package lists at hand" >&2
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
