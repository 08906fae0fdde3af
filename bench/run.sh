#!/usr/bin/env bash
# Usage: bench/run.sh [--quick] [--queries N] [--csv FILE]
#
# The benchmarks, in one run: api_query against the one-shot TCP clients operators use instead (OpenBSD
# netcat with -N, socat), then the probe's cost on the simulated board. Prints a table and writes it as CSV.
# Needs root only when packages are missing (scripts/setup.sh installs them). Takes a few minutes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
help_option "$@"
cd "$(dirname "$0")/.."
root=$PWD

queries=1000       # short-reply queries per client
big_runs=20        # 256 MiB transfers per client
rss_runs=10        # runs per client for the 1 MiB and 16 MiB peak-memory figures
probe_runs=50      # CPU-time runs per probe scenario
csv=$root/build/bench/results.csv
while (($#)); do
    case $1 in
        --quick) queries=200 big_runs=3 rss_runs=2 probe_runs=5 ;;
        --queries) (($# > 1)) || bad_use "--queries needs a number"; queries=$2; shift ;;
        --csv) (($# > 1)) || bad_use "--csv needs a file"; csv=$2; shift ;;
        *) bad_use "unknown option $1" ;;
    esac
    shift
done
if ! [[ $queries =~ ^[0-9]+$ ]] || ((queries == 0)); then
    bad_use "--queries needs a positive number"
fi
[[ $csv = /* ]] || csv=$root/$csv

scripts/setup.sh netcat-openbsd socat strace
mkdir -p build
if ! scripts/build.sh >build/bench-build.log 2>&1; then
    tail -n 30 build/bench-build.log >&2
    give_up 1 "bench: the build failed (whole log: build/bench-build.log)"
fi

bin=$root/build/bin
tools=$root/build/bench
timer=$tools/bench_run
temp_dir work

note() { printf '%s\n' "$*" >&2; }

# ---- results ----
# One CSV row per figure. Columns without a meaning for a figure stay empty.
csv_rows=()
row() { # section figure unit ours nc socat reference ratio goal met
    [[ $* != *,* ]] || give_up 1 "bench: a figure holds a comma: $*"
    local IFS=,
    csv_rows+=("$*")
}

# calc EXPR: floating-point arithmetic on the figures.
calc() { awk "BEGIN { printf \"%.6g\", ($1) }"; }
fmt() { awk -v v="$1" -v d="${2:-2}" 'BEGIN { printf "%.*f", d, v }'; }

# field CSV NAME COLUMN: one value of bench_run's output.
field() {
    awk -F, -v name="$2" -v col="$3" '
        NR == 1 { for (i = 1; i <= NF; i++) if ($i == col) c = i; next }
        $1 == name { print $c; found = 1 }
        END { if (!c || !found) exit 1 }' "$1" || give_up 1 "bench: no $3 for $2 in $1"
}

# ---- 1. api_query against its peers ----
api_query=$bin/api_query
nc_bin=$(command -v nc.openbsd || true)
socat_bin=$(command -v socat || true)
[[ -n $nc_bin && -n $socat_bin ]] || give_up 1 "bench: nc.openbsd or socat missing after set-up"

if [[ ! -x $api_query ]]; then
    note "bench: $api_query is not built yet; skipping the api_query figures"
else
    "$tools/reply_server" >"$work/server.out" 2>"$work/server.err" &
    server_pid=$!
    on_exit "stop_server $server_pid"
    port=
    for _ in $(seq 100); do
        read -r _ port <"$work/server.out" 2>/dev/null || true
        [[ -n $port ]] && break
        kill -0 "$server_pid" 2>/dev/null || give_up 1 "bench: reply server: $(cat "$work/server.err")"
        sleep 0.05
    done
    [[ -n $port ]] || give_up 1 "bench: the reply server did not start"

    short=600
    mib=1048576
    clients() { # SIZE: the bench_run command list, each client fetching a reply of SIZE bytes
        printf '%s\0' --cmd api_query "$api_query" "$1" 127.0.0.1 "$port" \
            --cmd nc "$nc_bin" -N 127.0.0.1 "$port" \
            --cmd socat "$socat_bin" - "TCP:127.0.0.1:$port"
    }
    yardsticks() { # SIZE: the simplest clients that hold the reply whole, or pass it on piece by piece
        printf '%s\0' --cmd hold "$tools/yardstick" hold "$port" "$1" \
            --cmd grow "$tools/yardstick" grow "$port" "$1" \
            --cmd stream "$tools/yardstick" stream "$port" "$1"
    }
    measure() { # SIZE RUNS WARMUP OUT [yardsticks]
        printf '%s' "$1" >"$work/cmd.$1"
        local cmds=() more=()
        mapfile -d '' cmds < <(clients "$1")
        [[ -z ${5:-} ]] || mapfile -d '' more < <(yardsticks "$1")
        cmds+=("${more[@]}")
        "$timer" -n "$2" -w "$3" -i "$work/cmd.$1" "${cmds[@]}" >"$4" ||
            give_up 1 "bench: measuring replies of $1 bytes failed"
    }

    # Each client must fetch the whole reply, or its time means nothing. puts adds api_query's line end.
    for size in $short $mib $((256 * mib)); do
        printf '%s' "$size" >"$work/cmd.$size"
        got_ours=$("$api_query" "$size" 127.0.0.1 "$port" | wc -c)
        got_nc=$("$nc_bin" -N 127.0.0.1 "$port" <"$work/cmd.$size" | wc -c)
        got_socat=$("$socat_bin" - "TCP:127.0.0.1:$port" <"$work/cmd.$size" | wc -c)
        [[ $got_ours -eq $((size + 1)) && $got_nc -eq $size && $got_socat -eq $size ]] ||
            give_up 1 "bench: reply of $size bytes: api_query printed $got_ours, nc $got_nc, socat $got_socat"
    done
    "$api_query" $short 127.0.0.1 "$port" | head -c $short >"$work/ours.txt"
    "$nc_bin" -N 127.0.0.1 "$port" <"$work/cmd.$short" >"$work/nc.txt"
    cmp -s "$work/ours.txt" "$work/nc.txt" || give_up 1 "bench: api_query and nc printed different replies"

    note "bench: $queries short queries per client..."
    measure $short "$queries" 20 "$work/short.csv"
    note "bench: $big_runs transfers of 256 MiB per client..."
    measure $((256 * mib)) "$big_runs" 1 "$work/big.csv" yardsticks
    note "bench: peak memory for 0, 1 and 16 MiB..."
    measure 0 "$rss_runs" 1 "$work/rss0.csv"
    measure $mib "$rss_runs" 1 "$work/rss1.csv"
    measure $((16 * mib)) "$rss_runs" 1 "$work/rss16.csv"

    # Per-query time: median wall time of one whole run (start, connect, exchange, exit); lower is better.
    declare -A q
    for c in api_query nc socat; do
        q[$c]=$(field "$work/short.csv" $c wall_median_us)
        q[$c.p10]=$(field "$work/short.csv" $c wall_p10_us)
        q[$c.p90]=$(field "$work/short.csv" $c wall_p90_us)
        q[$c.cpu]=$(field "$work/short.csv" $c cpu_median_us)
    done
    best=$(calc "${q[nc]} < ${q[socat]} ? ${q[nc]} : ${q[socat]}")
    met=$(calc "${q[api_query]} <= $best ? 1 : 0")
    span() { echo "$(fmt "$(calc "$1/1000")" 3) [$(fmt "$(calc "$2/1000")" 3)-$(fmt "$(calc "$3/1000")" 3)]"; }
    row api_query "time per query ($short-byte reply; median [p10-p90] of $queries)" ms \
        "$(span "${q[api_query]}" "${q[api_query.p10]}" "${q[api_query.p90]}")" \
        "$(span "${q[nc]}" "${q[nc.p10]}" "${q[nc.p90]}")" \
        "$(span "${q[socat]}" "${q[socat.p10]}" "${q[socat.p90]}")" "" \
        "$(fmt "$(calc "${q[api_query]}/${q[nc]}")") / $(fmt "$(calc "${q[api_query]}/${q[socat]}")")" \
        "<= fastest peer" "$( ((met)) && echo yes || echo NO)"
    row api_query "CPU per query ($short-byte reply; median)" ms \
        "$(fmt "$(calc "${q[api_query.cpu]}/1000")" 3)" "$(fmt "$(calc "${q[nc.cpu]}/1000")" 3)" \
        "$(fmt "$(calc "${q[socat.cpu]}/1000")" 3)" "" \
        "$(fmt "$(calc "${q[api_query.cpu]}/${q[nc.cpu]}")") / $(fmt "$(calc "${q[api_query.cpu]}/${q[socat.cpu]}")")" \
        "" ""

    # Throughput: 256 MiB over the median wall time of the whole run; higher is better.
    declare -A t
    for c in api_query nc socat hold grow stream; do
        for p in p10 median p90; do
            t[$c.$p]=$(calc "256 / ($(field "$work/big.csv" $c wall_${p}_us) / 1e6)")
        done
    done
    best=$(calc "${t[nc.median]} > ${t[socat.median]} ? ${t[nc.median]} : ${t[socat.median]}")
    met=$(calc "${t[api_query.median]} >= $best ? 1 : 0")
    tspan() { echo "$(fmt "${t[$1.median]}" 0) [$(fmt "${t[$1.p90]}" 0)-$(fmt "${t[$1.p10]}" 0)]"; }
    row api_query "throughput (256 MiB reply to /dev/null; median [spread] of $big_runs)" MiB/s \
        "$(tspan api_query)" "$(tspan nc)" "$(tspan socat)" "" \
        "$(fmt "$(calc "${t[api_query.median]}/${t[nc.median]}")") / $(fmt "$(calc "${t[api_query.median]}/${t[socat.median]}")")" \
        ">= fastest peer" "$( ((met)) && echo yes || echo NO)"
    declare -A tc
    for c in api_query nc socat hold grow stream; do tc[$c]=$(field "$work/big.csv" $c cpu_median_us); done
    row api_query "CPU per 256 MiB reply (median)" ms "$(fmt "$(calc "${tc[api_query]}/1000")" 0)" \
        "$(fmt "$(calc "${tc[nc]}/1000")" 0)" "$(fmt "$(calc "${tc[socat]}/1000")" 0)" "" \
        "$(fmt "$(calc "${tc[api_query]}/${tc[nc]}")") / $(fmt "$(calc "${tc[api_query]}/${tc[socat]}")")" "" ""
    # Yardsticks for the throughput: the same exchange, held whole in one block allocated up front (no
    # growth), or passed on piece by piece. Their ratio is what holding the reply costs in itself.
    row api_query "yardstick held whole in one block: throughput" MiB/s "$(tspan hold)" "" "" "" \
        "ours/hold $(fmt "$(calc "${t[api_query.median]}/${t[hold.median]}")")" "" ""
    row api_query "yardstick held whole in one block: CPU per 256 MiB" ms "$(fmt "$(calc "${tc[hold]}/1000")" 0)" \
        "" "" "" "ours/hold $(fmt "$(calc "${tc[api_query]}/${tc[hold]}")")" "" ""
    # The same receive loop as api_query's, growing its block in the same steps, written out in one
    # write: what api_query costs beyond it is its search for the first NUL (through a block that stays
    # in the cache) and its output through standard output.
    row api_query "yardstick grown as api_query's block and written once: throughput" MiB/s "$(tspan grow)" "" "" "" \
        "ours/grow $(fmt "$(calc "${t[api_query.median]}/${t[grow.median]}")")" "" ""
    row api_query "yardstick grown as api_query's block and written once: CPU per 256 MiB" ms \
        "$(fmt "$(calc "${tc[grow]}/1000")" 0)" "" "" "" "ours/grow $(fmt "$(calc "${tc[api_query]}/${tc[grow]}")")" "" ""
    over_grow=$(calc "${t[grow.median]}/${t[api_query.median]}")
    row api_query "256 MiB reply: wall time over the grown-block yardstick's (medians)" x "$(fmt "$over_grow")" \
        "" "" "" "" "<= 1.10" "$( (($(calc "$over_grow <= 1.10 ? 1 : 0"))) && echo yes || echo NO)"
    row api_query "yardstick streamed in 64 KiB pieces: throughput" MiB/s "$(tspan stream)" "" "" "" \
        "hold/stream $(fmt "$(calc "${t[hold.median]}/${t[stream.median]}")")" "" ""
    row api_query "yardstick streamed in 64 KiB pieces: CPU per 256 MiB" ms "$(fmt "$(calc "${tc[stream]}/1000")" 0)" \
        "" "" "" "hold/stream $(fmt "$(calc "${tc[hold]}/${tc[stream]}")")" "" ""

    # Peak memory: the reply is held whole by design, so the figure is peak resident size over the reply.
    # The figure for an empty reply is the process's own floor (mostly the C library's pages); the others
    # also say how much they hold beyond the reply and that floor, from medians, since how many of the
    # library's pages a run touches varies by a tenth of a MiB or so.
    rss_row() { # CSV SIZE_MIB
        local ours nc socat over ratio_text goal met typical
        ours=$(field "$1" api_query maxrss_max_kib)
        nc=$(field "$1" nc maxrss_max_kib)
        socat=$(field "$1" socat maxrss_max_kib)
        if (($2 == 0)); then
            ratio_text="" goal="" met=""
        else
            over=$(calc "$ours - $2 * 1024")
            ratio_text="$(fmt "$(calc "$ours / ($2 * 1024)")" 3) x reply; reply + $(fmt "$(calc "$over/1024")" 2) MiB"
            typical=$(field "$1" api_query maxrss_median_kib)
            ratio_text+=" (median: floor $(awk -v v="$(calc "($typical - $2 * 1024 - $floor)/1024")" 'BEGIN { printf "%+.2f", v }'))"
            goal="<= reply + 1 MiB"
            met=$( (($(calc "$over <= 1024 ? 1 : 0"))) && echo yes || echo NO)
        fi
        row api_query "peak resident memory ($2 MiB reply; max of runs)" MiB \
            "$(fmt "$(calc "$ours/1024")")" "$(fmt "$(calc "$nc/1024")")" "$(fmt "$(calc "$socat/1024")")" \
            "" "$ratio_text" "$goal" "$met"
    }
    floor=$(field "$work/rss0.csv" api_query maxrss_median_kib)
    rss_row "$work/rss0.csv" 0
    rss_row "$work/rss1.csv" 1
    rss_row "$work/rss16.csv" 16
    rss_row "$work/big.csv" 256

    stop_server "$server_pid"
fi

# ---- 2. the probe on the simulated board ----
# shellcheck source=bench/probe.sh
source "$root/bench/probe.sh"

# ---- 3. output ----
header="section,figure,unit,ours,nc,socat,reference,ratio,goal,met"
mkdir -p "$(dirname "$csv")"
{
    echo "$header"
    printf '%s\n' "${csv_rows[@]}"
} >"$csv"

echo
echo "measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -n): $(nproc) CPU $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), Linux $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
awk -F, '
    function api(a, b, c, d, e, f, g, h) { printf "%-64s %-6s %-24s %-24s %-24s %-52s %-16s %s\n", a, b, c, d, e, f, g, h }
    function probe(a, b, c, d, e, f, g) { printf "%-64s %-6s %-28s %-46s %-58s %-8s %s\n", a, b, c, d, e, f, g }
    NR == 1 { next }
    $1 != section {
        section = $1
        print ""
        if (section == "api_query") api("api_query", "unit", "ours", "nc -N", "socat", "ours/nc / ours/socat", "goal", "met")
        else probe("probe", "unit", "ours", "described / reference", "", "goal", "met")
    }
    section == "api_query" { api($2, $3, $4, $5, $6, $8, $9, $10) }
    section == "probe"     { probe($2, $3, $4, $7, $8, $9, $10) }
' "$csv"
# The same table in Markdown, for bench/README.md.
markdown=${csv%.csv}.md
{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) CPU $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), Linux $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)."
    awk -F, '
        NR == 1 { next }
        $1 != section {
            section = $1
            print ""
            if (section == "api_query") { print "| api_query | unit | ours | nc -N | socat | ratio | goal | met |"; print "|---|---|---|---|---|---|---|---|" }
            else { print "| probe | unit | ours | described / reference | | goal | met |"; print "|---|---|---|---|---|---|---|" }
        }
        section == "api_query" { printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $8, $9, $10 }
        section == "probe"     { printf "| %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $7, $8, $9, $10 }
    ' "$csv"
} >"$markdown"

echo
echo "CSV: $csv"
echo "Markdown: $markdown"
