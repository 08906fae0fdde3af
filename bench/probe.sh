# shellcheck shell=bash disable=SC2154
# Sourced by bench/run.sh: the probe's cost on the simulated board, for three boards.
# Uses run.sh's note, row, calc, fmt, field, $bin, $tools, $timer, $work, $probe_runs, and give_up.
runner=$bin/boardsim
preload=$root/build/lib/libboardsim.so
probe=$bin/test_type_spi
idle=$tools/bench_idle
scenarios=$root/boardsim/scenarios
if [[ ! -x $runner || ! -r $preload ]]; then
    note "bench: the simulated board is not built yet; skipping the probe figures"
    return 0
fi

# What the probe's description implies, as "opens reads writes requests closes waits seconds" for a board
# with N chains not inserted, A answering at once, S silent (visited in that order). Each sysfs step opens
# its file, does one read or write and closes it; a port stays open from spi_init to the final release.
described() { # N A S
    local n=$1 a=$2 s=$3 chains=$(($1 + $2 + $3)) inserted=$(($2 + $3))
    # clock, 8 times: fclk_export (open write close), fclk_set_rate (open write close open read close)
    local opens=24 reads=8 writes=16 requests=0 closes=24
    # every visited chain: spi_init (open + 6 requests), 4 gpio_export (2 x open write close),
    # gpio_set_value, gpio_get_value, and the port's close at the end
    opens=$((opens + chains * 10 + chains)) writes=$((writes + chains * 9)) reads=$((reads + chains))
    requests=$((requests + chains * 6)) closes=$((closes + chains * 10 + chains))
    # an inserted chain: 5 gpio_set_value in the power-up, the reset frame as 2 pair writes, then the
    # hunt: 1 header pair + 2 body pairs when the chips answer at once, the whole 144-pair budget if silent
    opens=$((opens + inserted * 5)) closes=$((closes + inserted * 5)) writes=$((writes + inserted * 7))
    reads=$((reads + a * 3 + s * 144))
    local waits=$((inserted * 5 + s)) seconds=$((inserted * 13 + s))
    echo "$opens $reads $writes $requests $closes $waits $seconds"
}

# The same figures counted in a trace: a board operation's line has its number ("#12") before its kind; a
# wait has no number. The runner's closing line states its own count of board operations, checked here too.
traced() { # TRACE
    awk '
        { for (i = 1; i < NF; i++) if ($i ~ /^#[0-9]+$/) { n[$(i + 1)]++; ops++; break } }
        / wait [0-9]+ s$/ { n["wait"]++ }
        / board operations$/ { closing = $(NF - 2) }
        END {
            if (closing != ops) { print "the closing line says " closing " board operations, counted " ops > "/dev/stderr"; exit 1 }
            printf "%d %d %d %d %d %d\n", n["open"], n["read"], n["write"], n["ioctl"], n["close"], n["wait"]
        }
    ' "$1"
}

# System calls of one run, from strace; the simulator's own are those on /dev/null, which it opens to hold
# a real descriptor number for each board file.
syscalls() { # OUT PROGRAM [ENV...]
    local out=$1 program=$2
    shift 2
    local env_args=()
    for e in "$@"; do env_args+=(-E "$e"); done
    # Not /dev/null: the program's own output must not pass for the simulator's.
    strace -qq -y -o "$out" "${env_args[@]}" -- "$program" >"$out.stdout" 2>"$out.stderr" ||
        give_up 1 "bench: strace of $program failed: $(cat "$out.stderr")"
    awk '!/^(\+\+\+|---)/ { total++ } /\/dev\/null/ { sim++ } END { printf "%d %d\n", total, sim }' "$out"
}

sim_env=("LD_PRELOAD=$preload" "BOARDSIM_TRACE=")

# Start-up cost, the same for every board: an idle program bare (under the preload, it is measured with
# each board below, since the scenario is read at start-up).
counts=$(syscalls "$work/idle.bare.st" "$idle")
read -r idle_bare_calls _ <<<"$counts"
"$timer" -n "$probe_runs" -w 2 --cmd idle "$idle" >"$work/idle.cpu.csv" 2>"$work/idle.cpu.err" ||
    give_up 1 "bench: idle program: $(cat "$work/idle.cpu.err")"
cpu_bare=$(field "$work/idle.cpu.csv" idle cpu_median_us)
row probe "CPU time of an idle program without the simulator (median of $probe_runs)" ms \
    "$(fmt "$(calc "$cpu_bare/1000")" 3)" "" "" "" "" "" ""

for shape in "no_boards 8 0 0 TYPE_ERR" "chain2_k6 2 1 0 K6" "all_silent 0 0 8 TYPE_ERR"; do
    read -r name n a s expected_out <<<"$shape"
    scn=$scenarios/$name.scn
    [[ -r $scn ]] || give_up 1 "bench: no scenario $scn"

    # Board operations and virtual time, from the runner's trace.
    "$runner" --scenario "$scn" --trace "$work/$name.trace" -- "$probe" >"$work/$name.out" 2>"$work/$name.err" ||
        give_up 1 "bench: $name: the probe ended with status $?"
    [[ $(cat "$work/$name.out") == "$expected_out" ]] ||
        give_up 1 "bench: $name: the probe printed '$(cat "$work/$name.out")', expected $expected_out"
    read -r d_open d_read d_write d_req d_close d_wait d_sec < <(described "$n" "$a" "$s")
    counts=$(traced "$work/$name.trace") || give_up 1 "bench: $name: the trace does not add up"
    read -r t_open t_read t_write t_req t_close t_wait <<<"$counts"
    d_ops=$((d_open + d_read + d_write + d_req + d_close))
    t_ops=$((t_open + t_read + t_write + t_req + t_close))
    row probe "board operations: $name (open/read/write/request/close)" ops \
        "$t_ops ($t_open/$t_read/$t_write/$t_req/$t_close)" "" "" \
        "$d_ops ($d_open/$d_read/$d_write/$d_req/$d_close)" "$(fmt "$(calc "$t_ops / $d_ops")")" \
        "= described" "$( [[ "$t_open $t_read $t_write $t_req $t_close" == "$d_open $d_read $d_write $d_req $d_close" ]] && echo yes || echo NO)"
    row probe "waits: $name" waits "$t_wait" "" "" "$d_wait ($d_sec s)" "" "= described" \
        "$( ((t_wait == d_wait)) && echo yes || echo NO)"

    # System calls: under the preload, less the simulator's start-up and descriptor keeping, plus one
    # call per board operation and per wait, is what the board would see.
    senv=("${sim_env[@]}" "BOARDSIM_SCENARIO=$scn")
    counts=$(syscalls "$work/$name.idle.st" "$idle" "${senv[@]}")
    read -r idle_calls _ <<<"$counts"
    counts=$(syscalls "$work/$name.probe.st" "$probe" "${senv[@]}")
    read -r probe_calls sim_calls <<<"$counts"
    output=$((probe_calls - idle_calls - sim_calls))
    row probe "system calls under the simulator: $name (strace)" calls "$probe_calls" "" "" \
        "simulator start-up $((idle_calls - idle_bare_calls)) + descriptors $sim_calls" "" "" ""
    row probe "system calls on the board (estimate): $name" calls \
        "$((idle_bare_calls + output + t_ops + t_wait))" "" "" \
        "start-up $idle_bare_calls + output $output + board ops $t_ops + waits $t_wait" "" "" ""

    # CPU: the probe and an idle program under the same preload, in turns.
    env_opts=()
    for e in "${senv[@]}"; do env_opts+=(-e "$e"); done
    "$timer" -n "$probe_runs" -w 2 "${env_opts[@]}" --cmd probe "$probe" --cmd idle "$idle" \
        >"$work/$name.cpu.csv" 2>"$work/$name.cpu.err" || give_up 1 "bench: $name: $(cat "$work/$name.cpu.err")"
    cpu=$(field "$work/$name.cpu.csv" probe cpu_median_us)
    cpu_p10=$(field "$work/$name.cpu.csv" probe cpu_p10_us)
    cpu_p90=$(field "$work/$name.cpu.csv" probe cpu_p90_us)
    cpu_idle=$(field "$work/$name.cpu.csv" idle cpu_median_us)
    goal="" met=""
    if [[ $name == all_silent ]]; then
        goal="< 5 ms"
        met=$( (($(calc "$cpu < 5000 ? 1 : 0"))) && echo yes || echo NO)
    fi
    row probe "CPU time under the simulator: $name (median [p10-p90] of $probe_runs)" ms \
        "$(fmt "$(calc "$cpu/1000")" 3) [$(fmt "$(calc "$cpu_p10/1000")" 3)-$(fmt "$(calc "$cpu_p90/1000")" 3)]" \
        "" "" "idle program under the preload $(fmt "$(calc "$cpu_idle/1000")" 3)" \
        "beyond start-up $(fmt "$(calc "($cpu - $cpu_idle)/1000")" 3); less the simulator's start-up $(fmt "$(calc "($cpu - $cpu_idle + $cpu_bare)/1000")" 3)" \
        "$goal" "$met"
done
