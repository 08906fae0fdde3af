#!/usr/bin/env bash
# Usage: scripts/libc_audit.sh [-r READELF] -b BASELINE [-v] FILE...
#        scripts/libc_audit.sh [-r READELF] -R BOARD_ROOT [-d] [FILE...]
#        scripts/libc_audit.sh [-r READELF] -n FILE...
#
# What board-side files need of the C library, by symbol version, held against a policy or a board:
#
#   -b BASELINE   each file's count of versioned symbols and the newest version (-v: every symbol);
#                 fails when one is newer than BASELINE
#   -R BOARD_ROOT the board's own libraries (under BOARD_ROOT) must have every version the files
#                 need; without files, that its libc.so.6 is the GNU C library. -d removes a file
#                 that the board cannot load
#   -n            the newest C-library version the files need
#   -r READELF    the readelf to read the files with (default readelf)
#
# Versions compare as GNU C library versions do (GLIBC_2.4 < GLIBC_2.34); a version of another
# library (GLIBCXX_, GCC_) is never the C library's and always fails -b.
# Exit status: 0 all well, 1 something needs more than it may, 2 bad use or a missing tool.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
help_option "$@"

readelf=readelf baseline="" root="" remove=0 newest_only=0 verbose=0
while getopts ":r:b:R:dnvh" opt; do
    case $opt in
        r) readelf=$OPTARG ;;
        b) baseline=$OPTARG ;;
        R) root=$OPTARG ;;
        d) remove=1 ;;
        n) newest_only=1 ;;
        v) verbose=1 ;;
        h) usage; exit 0 ;;
        :) bad_use "-$OPTARG needs a value" ;;
        *) bad_use "unknown option -$OPTARG" ;;
    esac
done
shift $((OPTIND - 1))
no_options "$@"
modes=$newest_only
[[ -n $baseline ]] && modes=$((modes + 1))
[[ -n $root ]] && modes=$((modes + 1))
((modes == 1)) || bad_use "one of -b, -R and -n"
command -v "$readelf" >/dev/null || give_up 2 "libc_audit: $readelf not found"
for f in "$@"; do
    "$readelf" -h "$f" >/dev/null 2>&1 || give_up 2 "libc_audit: $f is not an ELF file that can be read"
done

# One line per versioned symbol that FILE needs from another file: "LIBRARY VERSION SYMBOL"; a version
# that FILE requires without any symbol of its own is listed with the symbol "-".
requirements() {
    { "$readelf" -V -W "$1"; echo "@@symbols"; "$readelf" --dyn-syms -W "$1"; } | awk '
        /^@@symbols/ { symbols = 1; next }
        !symbols && /section .* contains/ { needs = /Version needs section/; next }
        !symbols && needs && / File: / { for (i = 1; i < NF; i++) if ($i == "File:") library = $(i + 1) }
        !symbols && needs && / Name: / {
            for (i = 1; i < NF; i++) { if ($i == "Name:") version = $(i + 1); if ($i == "Version:") index_ = $(i + 1) }
            lib[index_] = library; ver[index_] = version
        }
        symbols && $7 == "UND" && $8 ~ /@/ {
            i = $9; gsub(/[()]/, "", i); split($8, name, "@")
            print lib[i], ver[i], name[1]; used[i] = 1
        }
        END { for (i in ver) if (!(i in used)) print lib[i], ver[i], "-" }'
}

# Whether version $1 is newer than version $2 (both GLIBC_x.y[.z]).
newer() {
    [[ $1 != "$2" && $(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1) == "$1" ]]
}

# The versions a library file defines, one per line.
definitions() {
    "$readelf" -V -W "$1" | awk '/section .* contains/ { defs = /Version definition section/; next }
        defs && / Name: / && !/Flags: BASE/ { for (i = 1; i < NF; i++) if ($i == "Name:") print $(i + 1) }'
}

# Where the board's loader finds library $1: the path under the board root, symbolic links followed
# inside the root; nothing when the root has no such library.
board_library() {
    local dir path hops target
    for dir in "$root"/lib "$root"/usr/lib "$root"/lib/*-linux-gnu* "$root"/usr/lib/*-linux-gnu*; do
        path=$dir/$1
        hops=0
        while [[ -L $path ]] && ((hops++ < 16)); do
            target=$(readlink "$path")
            if [[ $target == /* ]]; then path=$root$target; else path=$(dirname "$path")/$target; fi
        done
        if [[ -f $path ]]; then
            echo "$path"
            return 0
        fi
    done
    return 0
}

if ((newest_only)); then
    for f in "$@"; do requirements "$f"; done | awk '$2 ~ /^GLIBC_[0-9]/ { print $2 }' | sort -uV | tail -n 1
    exit 0
fi

if [[ -n $baseline ]]; then
    printf '%-16s %8s  %s\n' file symbols "newest C-library version"
    for f in "$@"; do
        name=$(basename "$f")
        reqs=$(requirements "$f")
        count=$(awk '$3 != "-"' <<<"$reqs" | grep -c . || true)
        newest=$(awk '$2 ~ /^GLIBC_[0-9]/ { print $2 }' <<<"$reqs" | sort -uV | tail -n 1)
        printf '%-16s %8d  %s\n' "$name" "$count" "${newest:-(none)}"
        if ((verbose)); then
            awk '$3 != "-" { printf "    %s@%s (%s)\n", $3, $2, $1 }' <<<"$reqs" | sort
        fi
        while read -r library version symbol; do
            [[ -n $version ]] || continue
            [[ $symbol == - ]] && symbol="(no symbol)"
            if [[ $version != GLIBC_[0-9]* ]]; then
                fail "$name: $symbol needs $version of $library, which is not the C library"
            elif newer "$version" "$baseline"; then
                fail "$name: $symbol needs $version of $library, newer than $baseline"
            fi
        done <<<"$reqs"
    done
    (($# == 1)) && files="1 file" || files="$# files"
    finish "no C-library version newer than $baseline, in $files"
    exit 0
fi

# The board root: its libc.so.6 first, then what each file needs of the board's libraries. Its verdict
# is the build's error message, which the build shows as it is: one line per refusal, all of them at
# the end, on standard error.
libc=$(board_library libc.so.6)
[[ -n $libc ]] ||
    give_up 1 "board root $root: no libc.so.6 in its lib or usr/lib: not the root of a GNU C library system"
grep -q '^GLIBC_[0-9]' <<<"$(definitions "$libc")" ||
    give_up 1 "board root $root: $libc is not the GNU C library (it defines no GLIBC_ symbol version)"
refusals=()
for f in "$@"; do
    refused=0
    # One line per library and version, naming the first symbol that needs it.
    while read -r library version symbol; do
        [[ -n $version ]] || continue
        [[ $symbol == - ]] && symbol="(no symbol)"
        path=$(board_library "$library")
        if [[ -z $path ]]; then
            refusals+=("board root $root: no $library, which $(basename "$f") needs for $symbol ($version)")
            refused=1
        elif ! grep -qxF "$version" <<<"$(definitions "$path")"; then
            refusals+=("board root $root: $path lacks $version, which $(basename "$f") needs for $symbol")
            refused=1
        fi
    done < <(requirements "$f" | sort -s -u -k1,2)
    ((refused && remove)) && rm -f "$f"
done
((${#refusals[@]} == 0)) || give_up 1 "$(printf '%s\n' "${refusals[@]}")"
exit 0
