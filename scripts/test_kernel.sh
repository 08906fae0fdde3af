#!/usr/bin/env bash
# Usage: scripts/test_kernel.sh
#
# The programs on a real ARM kernel. Builds build/ (scripts/build.sh) and the emulated board
# (scripts/board_image.sh, which sets up what a fresh machine lacks), boots the board under QEMU, runs
# the case table tests/kernel/cases there, and compares each case's standard output, standard error
# and exit status with what the simulated board gives on this machine for the scenario that mirrors
# that hardware. A reset case must also see the watchdog reset the machine within its margin. Exit
# status 1 on any difference, with the differing cases shown.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
top=$PWD
vm_limit=250  # seconds for the whole boot, cases included (three times what it takes here, and more)
case_limit=60 # seconds for one case on this machine

scripts/build.sh
scripts/board_image.sh >/dev/null
temp_dir work
table() { table_cases tests/kernel/cases; }

# The board's console, each line with the time it arrived.
echo "booting the emulated board (at most ${vm_limit} s)"
vm_start=$EPOCHREALTIME
set +e
timeout -s KILL "$vm_limit" scripts/emulated_board.sh --ready board.cases </dev/null 2>&1 |
    while IFS= read -r line || [ -n "$line" ]; do printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"; done \
        >"$work/console"
vm_status=${PIPESTATUS[0]}
set -e
vm_end=$EPOCHREALTIME
awk -v a="$vm_start" -v b="$vm_end" 'BEGIN { printf "the emulated board ran for %.0f s\n", b - a }'

section= name= reset_case= reset_margin= reset_time= reboot_time= alive= all_done=
while read -r t text; do
    case $text in
    "@@case "*)
        read -r _ name st <<<"$text"
        echo "$st" >"$work/$name.kernel.status"
        ;;
    @@out | @@err | @@rec | @@trace)
        section=${text#@@}
        : >"$work/$name.kernel.$section.b64"
        ;;
    @@end) section= ;;
    "@@reset "*) read -r _ reset_case reset_margin <<<"$text" && reset_time=$t ;;
    "@@alive "*) alive=1 ;;
    @@done) all_done=1 ;;
    *"Initiating system reboot"*) reboot_time=$t ;;
    *)
        # Kernel messages may land between the lines of a result; base64 never starts with "[".
        if [ -n "$section" ] && [[ $text =~ ^[A-Za-z0-9+/=]+$ ]]; then
            echo "$text" >>"$work/$name.kernel.$section.b64"
        fi
        ;;
    esac
done <"$work/console"

if [ "$vm_status" -ne 0 ]; then
    fail "the emulated board did not end by itself within ${vm_limit} s (status $vm_status); its console ends:"
    tail -n 20 "$work/console" | cut -d' ' -f2-
fi

export PATH=$top/build/bin:$top/build/tests:$PATH
while read -r name scenario fixture ending program args; do
    if [ ! -f "$work/$name.kernel.status" ]; then
        fail "$name: no result from the kernel"
        continue
    fi
    for b64 in "$work/$name".kernel.*.b64; do base64 -d <"$b64" >"${b64%.b64}"; done

    # The simulated side: the mirroring scenario, or the recording the kernel side made.
    board=(--scenario "$work/$name.scn")
    compared=(status out err)
    if [ "$scenario" = record ]; then
        board=(--replay "$work/$name.kernel.rec" --trace "$work/$name.sim.trace")
        compared+=(trace)
        if ! cmp -s "$work/$name.kernel.rec" "$work/$name.kernel.trace"; then
            fail "$name: the recording and the trace of the recording run differ"
            diff -u "$work/$name.kernel.rec" "$work/$name.kernel.trace" | sed 's/^/    /' || true
        fi
    else
        : >"$work/$name.scn"
        for part in ${scenario//+/ }; do cat "emulated_board/scenarios/$part" >>"$work/$name.scn"; done
    fi

    server=
    if [ "$fixture" = server ] && ! start_server server "$work/server.out" 10 status_server -c 1; then
        fail "$name: the status server did not start: $(cat "$work/server.out")"
    fi
    set +e
    # shellcheck disable=SC2086 # the table's arguments are words
    timeout -s KILL "$case_limit" boardsim "${board[@]}" -- "$program" $args </dev/null \
        >"$work/$name.sim.out" 2>"$work/$name.sim.err"
    echo $? >"$work/$name.sim.status"
    set -e
    [ -z "$server" ] || stop_server "$server"

    same=1
    for s in "${compared[@]}"; do
        if ! cmp -s "$work/$name.kernel.$s" "$work/$name.sim.$s"; then
            [ "$same" = 1 ] && fail "$name: $program $args"
            same=0
            diff -u --label "kernel $s" --label "simulated $s" "$work/$name.kernel.$s" "$work/$name.sim.$s" |
                sed 's/^/    /' || true
        fi
    done
    [ "$same" = 1 ] && pass "$name"
done < <(table)

# The last case may leave a killed ticker behind: the softdog must then reset the machine within its
# margin (the last keep-alive came at most a second before the kill).
last_ending=$(table | tail -n 1 | awk '{ print $4 }')
if [[ $last_ending == reset=* ]]; then
    if [ -z "$reset_time" ]; then
        fail "$reset_case: the ticker was never killed"
    elif [ -n "$alive" ] || [ -z "$reboot_time" ]; then
        fail "$reset_case: the watchdog did not reset the machine"
    else
        elapsed=$(awk -v a="$reset_time" -v b="$vm_end" 'BEGIN { printf "%.1f", b - a }')
        if awk -v e="$elapsed" -v m="$reset_margin" 'BEGIN { exit !(e >= m - 1.5 && e <= m + 2) }'; then
            pass "$reset_case: the machine reset ${elapsed} s after the ticker was killed (margin ${reset_margin} s)"
        else
            fail "$reset_case: the machine reset ${elapsed} s after the ticker was killed, margin ${reset_margin} s"
        fi
    fi
elif [ -z "$all_done" ]; then
    fail "the case table did not run to its end"
fi

finish "every case of the simulated board agrees with the real kernel"
