#!/usr/bin/env bash
# Usage: scripts/footprint.sh [-B BUILD_DIR] [-v] [PROGRAM...]
#
# Footprint of the board programs: per program, the stripped ARM size and the NEEDED list; per
# board-side file, what it needs of the C library (scripts/libc_audit.sh).
# Exits 1 when a file breaks a budget, 2 when there is nothing to check or the tools are missing.
#
# Without PROGRAMs it checks every program that `cmake --install` of BUILD_DIR (default build-arm)
# puts in bin, and audits those and the other files that go on a board: the recorder (bin/boardsim,
# lib/libboardsim.so) and the stand-in libvexa.so. Strip and readelf are the ones that build was
# configured with. -v lists every versioned symbol each file needs.
#
# The C-library policy: no board-side file needs a symbol version newer than the build's
# BOARD_LIBC_BASELINE (GLIBC_2.4, the first version of every ARM EABI GNU C library), so that each
# loads on whatever C library a board's firmware carries.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
help_option "$@"

max_bytes=16384
# Libraries a program may need on the board; the three library programs may also need libvexa.so.
allowed_common=(libc.so.6)
vexa_programs=(test_type vexa_test watchdog)

build_dir=build-arm
audit_options=()
while getopts ":B:vh" opt; do
    case $opt in
        B) build_dir=$OPTARG ;;
        v) audit_options+=(-v) ;;
        h) usage; exit 0 ;;
        :) bad_use "-$OPTARG needs a value" ;;
        *) bad_use "unknown option -$OPTARG" ;;
    esac
done
shift $((OPTIND - 1))
no_options "$@"

strip_tool=$(cache_value "$build_dir" CMAKE_STRIP)
readelf_tool=$(cache_value "$build_dir" CMAKE_READELF)
libc_baseline=$(cache_value "$build_dir" BOARD_LIBC_BASELINE)
: "${libc_baseline:=GLIBC_2.4}"
: "${strip_tool:=arm-linux-gnueabihf-strip}"
: "${readelf_tool:=arm-linux-gnueabihf-readelf}"
for tool in "$strip_tool" "$readelf_tool"; do
    command -v "$tool" >/dev/null || give_up 2 "footprint: $tool not found"
done

temp_dir work

programs=("$@")
board_side=()
if ((${#programs[@]} == 0)); then
    [[ -f $build_dir/CMakeCache.txt ]] || give_up 2 "footprint: $build_dir is not a configured build"
    cmake --install "$build_dir" --prefix "$work/stage" --component board >/dev/null
    if [[ -d $work/stage/bin ]]; then
        for p in "$work/stage/bin"/*; do programs+=("$p"); done
    fi
    ((${#programs[@]})) || give_up 2 "footprint: $build_dir installs no program"
    for f in bin/boardsim lib/libboardsim.so lib/libvexa.so; do
        [[ -f $build_dir/$f ]] && board_side+=("$build_dir/$f")
    done
fi

audited=()
printf '%-16s %9s  %s\n' program stripped NEEDED
for path in "${programs[@]}"; do
    name=$(basename "$path")
    problems=()
    header=$("$readelf_tool" -h "$path" 2>/dev/null || true)
    if ! grep -q 'Class:[[:space:]]*ELF32' <<<"$header" || ! grep -q 'Machine:[[:space:]]*ARM$' <<<"$header"; then
        printf '%-16s %9s  %s\n' "$name" - -
        fail "$name: not a 32-bit ARM program"
        continue
    fi
    audited+=("$path")

    "$strip_tool" -o "$work/$name.stripped" "$path"
    size=$(stat -c %s "$work/$name.stripped")
    ((size <= max_bytes)) || problems+=("$size bytes stripped, over $max_bytes")

    mapfile -t needed < <("$readelf_tool" -d "$path" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    allowed=("${allowed_common[@]}")
    for v in "${vexa_programs[@]}"; do [[ $name == "$v" ]] && allowed+=(libvexa.so); done
    for lib in "${needed[@]}"; do
        ok=0
        for a in "${allowed[@]}"; do [[ $lib == "$a" ]] && ok=1; done
        ((ok)) || problems+=("needs $lib")
    done

    printf '%-16s %9d  %s\n' "$name" "$size" "${needed[*]:-(none)}"
    for p in "${problems[@]}"; do fail "$name: $p"; done
done

echo
audited+=("${board_side[@]}")
# The audit names each file that needs too new a version; here its verdict counts once.
"$(dirname "$0")/libc_audit.sh" -r "$readelf_tool" -b "$libc_baseline" "${audit_options[@]}" "${audited[@]}" ||
    failures=$((failures + 1))
((${#programs[@]} == 1)) && program_count="1 program" || program_count="${#programs[@]} programs"
((${#audited[@]} == 1)) && file_count="1 board-side file" || file_count="${#audited[@]} board-side files"
finish "footprint: $program_count, at most $max_bytes bytes stripped, NEEDED ${allowed_common[*]} [+ libvexa.so];\
 $file_count, no C-library version newer than $libc_baseline"
