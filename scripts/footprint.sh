#!/usr/bin/env bash
# Footprint of the board programs: per program, the stripped ARM size and the NEEDED list.
# Exits 1 when a program breaks a budget, 2 when there is nothing to check or the tools are missing.
#
#   scripts/footprint.sh [-B BUILD_DIR] [PROGRAM...]
#
# Without PROGRAMs it checks every program that `cmake --install` of BUILD_DIR (default build-arm)
# puts in bin. Strip and readelf are the ones that build was configured with.
set -euo pipefail

max_bytes=16384
# Libraries a program may need on the board; the three library programs may also need libvexa.so.
allowed_common=(libc.so.6)
vexa_programs=(test_type vexa_test watchdog)

usage() { echo "usage: $0 [-B BUILD_DIR] [PROGRAM...]" >&2; exit 2; }

build_dir=build-arm
while getopts "B:h" opt; do
    case $opt in
        B) build_dir=$OPTARG ;;
        *) usage ;;
    esac
done
shift $((OPTIND - 1))

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt" 2>/dev/null | head -n1; }
strip_tool=$(cache_value CMAKE_STRIP)
readelf_tool=$(cache_value CMAKE_READELF)
: "${strip_tool:=arm-linux-gnueabihf-strip}"
: "${readelf_tool:=arm-linux-gnueabihf-readelf}"
for tool in "$strip_tool" "$readelf_tool"; do
    command -v "$tool" >/dev/null || { echo "footprint: $tool not found" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

programs=("$@")
if ((${#programs[@]} == 0)); then
    [[ -f $build_dir/CMakeCache.txt ]] || { echo "footprint: $build_dir is not a configured build" >&2; exit 2; }
    cmake --install "$build_dir" --prefix "$work/stage" >/dev/null
    if [[ -d $work/stage/bin ]]; then
        for p in "$work/stage/bin"/*; do programs+=("$p"); done
    fi
    ((${#programs[@]})) || { echo "footprint: $build_dir installs no program" >&2; exit 2; }
fi

broken=0
printf '%-16s %9s  %s\n' program stripped NEEDED
for path in "${programs[@]}"; do
    name=$(basename "$path")
    problems=()
    header=$("$readelf_tool" -h "$path" 2>/dev/null || true)
    if ! grep -q 'Class:[[:space:]]*ELF32' <<<"$header" || ! grep -q 'Machine:[[:space:]]*ARM$' <<<"$header"; then
        printf '%-16s %9s  %s\n' "$name" - -
        echo "FAIL $name: not a 32-bit ARM program"
        broken=1
        continue
    fi

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
    for p in "${problems[@]}"; do echo "FAIL $name: $p"; done
    ((${#problems[@]} == 0)) || broken=1
done

if ((broken)); then
    echo "footprint: budget broken"
    exit 1
fi
echo "footprint: ${#programs[@]} programs within budget ($max_bytes bytes stripped, NEEDED ${allowed_common[*]} [+ libvexa.so])"
