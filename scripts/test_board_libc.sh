#!/usr/bin/env bash
# Usage: scripts/test_board_libc.sh BOARD_ROOT [BUILD_DIR]
#
# The board-side files of an ARM build on a board's own C library: each case of the table
# tests/board_libc/cases runs under qemu-arm once with the board's root file system and once with the
# cross toolchain's C library, and standard output, standard error, exit status and the board trace
# (or recording) must be the same.
#
# BOARD_ROOT is a copy of a board's root file system, or at least of its /lib (qemu-arm's -L); the
# programs and the recorder come from BUILD_DIR (default build-arm, built), the library programs'
# libvexa.so from its lib/. CI has no older C library to run this against; run it with the root of
# the boards you care about. Exit status 1 when a case differs.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_options "$@"
(($# == 1 || $# == 2)) || bad_use "a board root, and at most a build folder"
cd "$(dirname "$0")/.."

root=$1
build=${2:-build-arm}
toolchain_root=$(cache_value "$build" BOARD_TARGET_ROOT)
[[ -n $toolchain_root && -x $build/bin/boardsim ]] || bad_use "$build is not a built ARM build"
# The runner takes its emulator's command line as words.
[[ $root != *[[:space:]]* ]] || bad_use "the board root's path must hold no blanks: $root"
table=tests/board_libc/cases
temp_dir work

run() { # side library-root scenario command...
    local side=$1 lib=$2 scenario=$3
    shift 3
    local q=(qemu-arm -cpu cortex-a9 -L "$lib") out=$work/$side
    mkdir -p "$out"
    local bin="$build/bin/$1"
    shift
    case $scenario in
        -) "${q[@]}" "$bin" "$@" >"$out/out" 2>"$out/err" ;;
        record)
            "${q[@]}" "$build/bin/boardsim" --emulator "${q[*]}" --record "$out/recording" -- "$bin" "$@" >"$out/out" 2>"$out/err"
            echo "record: $?" >>"$out/status"
            "${q[@]}" "$build/bin/boardsim" --emulator "${q[*]}" --replay "$out/recording" --trace "$out/trace" -- "$bin" "$@" \
                >>"$out/out" 2>>"$out/err" ;;
        *) "${q[@]}" "$build/bin/boardsim" --emulator "${q[*]}" --scenario "boardsim/scenarios/$scenario" --trace "$out/trace" \
               -- "$bin" "$@" >"$out/out" 2>"$out/err" ;;
    esac
    echo "status: $?" >>"$out/status"
}

# The table on its own descriptor: the programs get no standard input.
while read -r -u 3 name scenario fixture ending program args; do
    [[ $ending == - ]] || bad_use "$table: $name: no ending but \"-\" is taken here: $ending"
    read -r -a words <<<"$program $args"
    server=
    case $fixture in
        -) ;;
        server)
            # Both runs of the case ask it; the system picks its port.
            if ! start_server server "$work/server.out" 30 \
                    qemu-arm -cpu cortex-a9 -L "$toolchain_root" "$build/bin/status_server" -a 127.0.0.1 -p 0 -c 2; then
                fail "$name: the status server did not start: $(cat "$work/server.out")"
                continue
            fi
            port=$(head -n 1 "$work/server.out")
            for i in "${!words[@]}"; do [[ ${words[i]} == PORT ]] && words[i]=${port##*:}; done
            ;;
        *) bad_use "$table: $name: no such fixture here: $fixture" ;;
    esac
    rm -rf "$work/board" "$work/toolchain"
    run board "$root" "$scenario" "${words[@]}"
    run toolchain "$toolchain_root" "$scenario" "${words[@]}"
    [[ -z $server ]] || stop_server "$server"
    if diff -r -u "$work/toolchain" "$work/board" >"$work/diff"; then
        pass "$name ($(tr '\n' ' ' <"$work/board/status"))"
    else
        fail "$name"
        cat "$work/diff"
    fi
done 3< <(table_cases "$table") </dev/null
finish "the board-side files on $root as on $toolchain_root"
