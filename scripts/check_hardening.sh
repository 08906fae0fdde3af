#!/usr/bin/env bash
# The protections of the packaged programs, checked as Debian checks its own: hardening-check on every
# program of the build's Debian package (PIE, stack protector, fortified functions, read-only
# relocations, immediate binding; control flow integrity has no 32-bit ARM form and is not asked
# for), lintian's hardening tags, and what no ELF reader can show for ARM code, stack clash
# protection, in the build's own compile lines (with the other compiler protections).
#
#   scripts/check_hardening.sh [BUILD_DIR]          (default build-arm, built)
#
# Exit status 1 when a protection is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-arm}
scripts/setup.sh devscripts lintian >&2
[[ -f $build/CPackConfig.cmake && -f $build/compile_commands.json ]] || { echo "$build is not a configured build" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
deb=$(ls "$work"/out/*.deb)
dpkg-deb -x "$deb" "$work/root"
for program in "$work"/root/usr/bin/*; do
    # Its objdump cannot read ARM code, which leaves stack clash protection "unknown" and says so.
    if ! hardening-check --nocfprotection "$program" 2>/dev/null | sed "s|$work/root||"; then
        failures=$((failures + 1))
    fi
done

tags=$(lintian --allow-root -I "$deb" | grep -E ' hardening-' || true)
if [[ -n $tags ]]; then
    echo "lintian: $tags"
    failures=$((failures + 1))
else
    echo "lintian: no hardening tag"
fi

# Every compilation of the project's own sources (not of the GoogleTest that a cross build compiles).
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:[A-Z]*=//p' "$build/CMakeCache.txt")
mapfile -t commands < <(awk -v src="\"$source_dir/" '/"command":/ { command = $0 }
    /"file":/ && index($0, src) { print command }' "$build/compile_commands.json")
((${#commands[@]})) || { echo "no compile line of $source_dir in $build/compile_commands.json"; exit 1; }
for flag in -fstack-protector-strong -fstack-clash-protection '-D_FORTIFY_SOURCE=[23]' -Werror=format-security; do
    without=$(printf '%s\n' "${commands[@]}" | grep -cv -- " $flag " || true)
    echo "compile lines with $flag: $((${#commands[@]} - without)) of ${#commands[@]}"
    ((without == 0)) || failures=$((failures + 1))
done

if ((failures)); then
    echo "hardening: $failures protections missing"
    exit 1
fi
echo "hardening: every program of $(basename "$deb") carries the protections"
