#!/usr/bin/env bash
# The board-side files of an ARM build on a board's own C library: each case runs under qemu-arm once
# with the board's root file system and once with the cross toolchain's C library, and standard
# output, standard error, exit status and the board trace (or recording) must be the same.
#
#   scripts/test_board_libc.sh BOARD_ROOT [BUILD_DIR]
#
# BOARD_ROOT is a copy of a board's root file system, or at least of its /lib (qemu-arm's -L); the
# programs and the recorder come from BUILD_DIR (default build-arm), the library programs' libvexa.so
# from its lib/. CI has no older C library to run this against; run it with the root of the boards
# you care about. Exit status 1 when a case differs.
set -uo pipefail
cd "$(dirname "$0")/.."

root=${1:?usage: $0 BOARD_ROOT [BUILD_DIR]}
build=${2:-build-arm}
toolchain_root=$(sed -n 's/^BOARD_TARGET_ROOT:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ -n $toolchain_root && -x $build/bin/boardsim ]] || { echo "$build is not a built ARM build" >&2; exit 2; }
# The runner takes its emulator's command line as words.
[[ $root != *[[:space:]]* ]] || { echo "the board root's path must hold no blanks: $root" >&2; exit 2; }
work=$(mktemp -d)
server_pid=""
trap '[[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
port=$((20000 + RANDOM % 20000))

# NAME            BOARD                 COMMAND
#   BOARD: a scenario of boardsim/scenarios; "-" the program alone; "record" recorded against this
#   machine's real board files, then that recording replayed
cases="
probe_k6          chain2_k6.scn         test_type_spi
probe_no_boards   no_boards.scn         test_type_spi
probe_silent      all_silent.scn        test_type_spi
probe_no_ports    ports_missing.scn     test_type_spi
library_type      chain2_k6.scn         test_type
library_blink     chain2_k6.scn         vexa_test 1 2 300 5
timeout_30        chain2_k6.scn         watchdog -t 30
timeout_too_long  chain2_k6.scn         watchdog -t 65536
ticker_stopped    watchdog_stop3.scn    watchdog -p 1
usage             -                     watchdog -x
query             -                     api_query summary 127.0.0.1 $port
query_refused     -                     api_query summary 127.0.0.1 1
query_help        -                     api_query -h
recorded_probe    record                test_type_spi
recorded_timeout  record                watchdog -t 30
"

# A status server on the build machine's C library, for the query case.
qemu-arm -cpu cortex-a9 -L "$toolchain_root" "$build/bin/status_server" -a 127.0.0.1 -p "$port" -c 2 \
    >/dev/null 2>&1 &
server_pid=$!
sleep 1

run() { # side library-root board command...
    local side=$1 lib=$2 board=$3
    shift 3
    local q=(qemu-arm -cpu cortex-a9 -L "$lib") out=$work/$side
    mkdir -p "$out"
    read -r program args <<<"$*"
    local bin="$build/bin/$program"
    # shellcheck disable=SC2086 # args are the case's words
    case $board in
        -) "${q[@]}" "$bin" $args >"$out/out" 2>"$out/err" ;;
        record)
            "${q[@]}" "$build/bin/boardsim" --emulator "${q[*]}" --record "$out/recording" -- "$bin" $args >"$out/out" 2>"$out/err"
            echo "record: $?" >>"$out/status"
            "${q[@]}" "$build/bin/boardsim" --emulator "${q[*]}" --replay "$out/recording" --trace "$out/trace" -- "$bin" $args \
                >>"$out/out" 2>>"$out/err" ;;
        *) "${q[@]}" "$build/bin/boardsim" --emulator "${q[*]}" --scenario "boardsim/scenarios/$board" --trace "$out/trace" \
               -- "$bin" $args >"$out/out" 2>"$out/err" ;;
    esac
    echo "status: $?" >>"$out/status"
}

failures=0
while read -r name board command; do
    [[ -n $name ]] || continue
    rm -rf "$work/board" "$work/toolchain"
    run board "$root" "$board" "$command"
    run toolchain "$toolchain_root" "$board" "$command"
    if diff -r -u "$work/toolchain" "$work/board" >"$work/diff"; then
        echo "ok: $name ($(tr '\n' ' ' <"$work/board/status"))"
    else
        echo "not ok: $name"
        cat "$work/diff"
        failures=$((failures + 1))
    fi
done <<<"$cases"

if ((failures)); then
    echo "$failures cases differ on $root"
    exit 1
fi
echo "all cases the same on $root as on $toolchain_root"
