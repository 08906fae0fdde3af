#!/usr/bin/env bash
# Usage: scripts/check_hardening.sh [BUILD_DIR]          (default build-arm, configured and built)
#
# The protections of the packaged programs, checked as Debian checks its own: hardening-check on every
# program and library of the build's Debian packages (PIE, stack protector, fortified functions, read-only
# relocations, immediate binding; control flow integrity has no 32-bit ARM form and is not asked
# for), lintian's hardening tags, and what no ELF reader can show for ARM code, stack clash
# protection, in the build's own compile lines (with the other compiler protections).
# Installs devscripts and lintian when missing (as root). Exit status 1 when a protection is missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_options "$@"
(($# <= 1)) || bad_use "one build folder at most"
cd "$(dirname "$0")/.."
build=${1:-build-arm}
[[ -f $build/CPackConfig.cmake && -f $build/compile_commands.json ]] || bad_use "$build is not a configured build"
scripts/setup.sh devscripts lintian >&2
temp_dir work

if ! make_packages "$build" "$work/out"; then
    fail "making the packages of $build"
    finish "hardening"
fi
debs=("$work"/out/*.deb)
for deb in "${debs[@]}"; do
    root=$work/root/$(basename "$deb" .deb)
    mkdir -p "$root"
    dpkg-deb -x "$deb" "$root"
    # Every program and every library the package carries (the recorder's preload library too).
    while IFS= read -r -d '' file; do
        # Its objdump cannot read ARM code, which leaves stack clash protection "unknown" and says so.
        if ! hardening-check --nocfprotection "$file" 2>/dev/null | sed "s|$root||"; then
            fail "hardening-check: ${file#"$root"}"
        fi
    done < <(find "$root/usr/bin" "$root/usr/lib" -type f \( -path '*/bin/*' -o -name '*.so*' \) -print0 2>/dev/null)

    tags=$(lintian --allow-root -I "$deb" | grep -E ' hardening-' || true)
    if [[ -n $tags ]]; then
        fail "lintian $(basename "$deb"): $tags"
    else
        pass "lintian $(basename "$deb"): no hardening tag"
    fi
done

# Every compilation of the project's own sources (not of the GoogleTest that a cross build compiles).
source_dir=$(cache_value "$build" CMAKE_HOME_DIRECTORY)
mapfile -t commands < <(awk -v src="\"$source_dir/" '/"command":/ { command = $0 }
    /"file":/ && index($0, src) { print command }' "$build/compile_commands.json")
((${#commands[@]})) || { fail "no compile line of $source_dir in $build/compile_commands.json"; finish "hardening"; }
for flag in -fstack-protector-strong -fstack-clash-protection '-D_FORTIFY_SOURCE=[23]' -Werror=format-security; do
    without=$(printf '%s\n' "${commands[@]}" | grep -cv -- " $flag " || true)
    if ((without == 0)); then
        pass "compile lines with $flag: ${#commands[@]} of ${#commands[@]}"
    else
        fail "compile lines with $flag: $((${#commands[@]} - without)) of ${#commands[@]}"
    fi
done
finish "hardening: every program and library of ${#debs[@]} packages carries the protections"
