#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing the tools (run as root).
# Extra package names may be given as arguments.
set -euo pipefail

# sigrok-cli and gtkwave check the simulated board's waveform files; mandoc and man-db lint the
# manual pages, lintian the packages.
packages=(cmake make g++ libgtest-dev libgmock-dev sigrok-cli gtkwave mandoc man-db lintian "$@")
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
