#!/usr/bin/env bash
# Usage: scripts/demo.sh
#
# Sets up a fresh Debian machine (scripts/setup.sh, as root), builds build/ (scripts/build.sh), and
# runs every tool on the simulated board, showing what each printed; api_query asks a stand-in
# status server on 127.0.0.1:4028.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null

bin=build/bin
scenarios=boardsim/scenarios
temp_dir trace

# Runs one program on the simulated board and shows its standard output, standard error and status.
show() {
    local scenario=$1
    shift
    local name
    name=$(basename "$1")
    printf '\n$ %s %s    # board: %s\n' "$name" "${*:2}" "$scenario"
    local status=0
    "$bin/boardsim" --scenario "$scenarios/$scenario.scn" --trace "$trace/$name.trace" -- "$@" \
        >"$trace/out" 2>"$trace/err" || status=$?
    sed 's/^/  stdout: /' "$trace/out"
    sed 's/^/  stderr: /' "$trace/err"
    echo "  exit status $status; $(tail -n 1 "$trace/$name.trace" | sed 's/^\[ *\([0-9.]*\)\] end: /virtual time \1 s, /')"
}

echo "== test_type_spi: the chip type over SPI"
show chain2_k6 "$bin/test_type_spi"
show no_boards "$bin/test_type_spi"
show all_silent "$bin/test_type_spi"
show ports_missing "$bin/test_type_spi"

echo
echo "== the probe on chain2_k6.scn at a glance: its GPIO lines and SPI ports over virtual time"
"$bin/boardsim" --scenario "$scenarios/chain2_k6.scn" --timeline -- "$bin/test_type_spi" 2>&1 >/dev/null |
    sed -n '/^time (s)/,$p'

echo
echo "== test_type: the chip type through the board library (the stand-in library on the simulated board)"
show chain2_k6 "$bin/test_type"
show ports_missing "$bin/test_type"

echo
echo "== vexa_test: log lines and the LED blink through the board library"
show chain2_k6 "$bin/vexa_test" 1 2 300 5

echo
echo "== watchdog: set the timeout, then tick until the operator stops it (SIGTERM at the third keep-alive)"
show watchdog_stop3 "$bin/watchdog" -t 30
show watchdog_stop3 "$bin/watchdog" -p 5
grep -E 'ioctl|wait|signal' "$trace/watchdog.trace" | sed 's/^/  trace: /'

echo
echo "== api_query: one command to a stand-in status server on 127.0.0.1:4028"
start_server server "$trace/server" 10 "$bin/status_server" -a 127.0.0.1 -p 4028 ||
    give_up 1 "demo: the status server did not start: $(cat "$trace/server")"
echo "  ($(head -n 1 "$trace/server"))"
for args in "" "version" "devs 127.0.0.1 4028" "nonsense"; do
    printf '\n$ api_query %s\n' "$args"
    status=0
    # shellcheck disable=SC2086
    "$bin/api_query" $args | sed 's/^/  /' || status=$?
    echo "  exit status $status"
done
stop_server "$server"
