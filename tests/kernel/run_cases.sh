#!/bin/sh
# Runs the case table on the emulated board's real kernel and prints what each case gave, framed for
# the host: "@@case NAME STATUS", then "@@out" and "@@err" each followed by that stream in base64, then
# "@@end". A reset case prints "@@reset NAME MARGIN" the moment its ticker is killed.
# It judges nothing: scripts/test_kernel.sh passes or fails each case on the host, through
# scripts/lib.sh. This runs on the board's busybox shell, which cannot read that bash library, and
# keeps to plain sh.
set -f # the commands of the table hold no patterns
table=$1

# Kernel messages stay off the console while results are printed.
echo 1 >/proc/sys/kernel/printk

# The watchdog stops on a close that follows the magic character; a ticker that was killed left it
# running. Harmless when nothing holds it.
disarm() {
    printf V 2>/dev/null >/dev/watchdog0
}

report() { # NAME STATUS
    echo "@@case $1 $2"
    for part in out err rec trace; do
        [ -f /tmp/case.$part ] || continue
        echo "@@$part"
        base64 </tmp/case.$part
    done
    echo "@@end"
    rm -f /tmp/case.*
}

run_case() { # NAME SCENARIO FIXTURE ENDING PROGRAM ARGS...
    name=$1 scenario=$2 fixture=$3 ending=$4 program=/usr/bin/$5
    shift 5
    # By its full path: this busybox runs its own applet of a name before any program on the PATH.
    set -- "$program" "$@"
    if [ "$scenario" = record ]; then
        set -- /usr/bin/boardsim --record /tmp/case.rec --trace /tmp/case.trace -- "$@"
    fi
    helper=
    case $fixture in
    ticker)
        /usr/bin/watchdog >/dev/null 2>&1 &
        helper=$!
        sleep 1
        ;;
    server)
        /usr/bin/status_server -c 1 >/tmp/server.out 2>&1 &
        helper=$!
        for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
            grep -q listening /tmp/server.out && break
            usleep 100000
        done
        ;;
    margin=*)
        /usr/bin/watchdog -t "${fixture#margin=}" >/dev/null 2>&1
        ;;
    esac

    case $ending in
    -)
        timeout -s KILL 60 "$@" </dev/null >/tmp/case.out 2>/tmp/case.err
        status=$?
        ;;
    kill=* | reset=*)
        "$@" </dev/null >/tmp/case.out 2>/tmp/case.err &
        pid=$!
        sleep "${ending#*=}"
        [ "${ending%%=*}" = reset ] && echo 4 >/proc/sys/kernel/printk
        kill -TERM "$pid"
        wait "$pid"
        status=$?
        if [ "${ending%%=*}" = reset ]; then
            echo "@@reset $name ${fixture#margin=}"
            report "$name" "$status"
            # The watchdog resets the machine now; still here after its margin is a failure.
            sleep $((${fixture#margin=} + 5))
            echo "@@alive $name"
            return
        fi
        ;;
    esac

    if [ -n "$helper" ]; then
        kill "$helper" 2>/dev/null
        wait "$helper" 2>/dev/null
    fi
    disarm
    report "$name" "$status"
}

# The table is read whole first, so that no descriptor of it is open while a case runs.
cases=$(grep -v -e '^#' -e '^[[:space:]]*$' "$table")
old_ifs=$IFS
IFS='
'
for line in $cases; do
    IFS=$old_ifs
    set -- $line
    run_case "$@"
    IFS='
'
done
IFS=$old_ifs
echo "@@done"
