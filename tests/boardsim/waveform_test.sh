#!/usr/bin/env bash
# The probe's waveform on chain2_k6.scn held against tools no one here wrote: sigrok-cli's SPI decoder
# (mode 1) must give back exactly the bytes of the trace, MOSI and MISO both, for a port opened at once
# and for one opened 14 s into the run, and GTKWave's vcd2fst must take the file with every wire. Every
# variable has its value at time 0; a waveform whose header grew past its first room reads whole; the
# GTKWave save file beside it names the file and only its variables. Then the GPIO edges (which line
# rises when), the timeline compared whole, and the file a killed program leaves.
#   waveform_test.sh BUILD_DIR SCENARIO_DIR EXPECTED_TIMELINE [EMULATOR...]
set -uo pipefail
build=$1 scenarios=$2 expected_timeline=$3
shift 3
emulator=("$@")
source "$(dirname "$0")/../../scripts/lib.sh"
checked="the waveform against sigrok and vcd2fst, the GPIO edges, the timeline and a killed program's file"
temp_dir work
for tool in sigrok-cli vcd2fst fst2vcd; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
((failures == 0)) || finish "$checked"

boardsim=("${emulator[@]}" "$build/bin/boardsim")
((${#emulator[@]})) && boardsim+=(--emulator "${emulator[*]}")
"${boardsim[@]}" --scenario "$scenarios/chain2_k6.scn" --trace "$work/trace" --vcd "$work/probe.vcd" --timeline \
    -- "$build/bin/test_type_spi" >"$work/out" 2>"$work/err" || fail "the probe ended with status $?"

# Per transfer on a port, in order: what the trace says went out and came in (a write clocks zeros in,
# a read sends zeros out), against what sigrok decodes of its four wires.
decodes_as_traced() { # VCD TRACE BUS
    local vcd=$1 trace=$2 bus=$3
    awk -v port="/dev/spidev$bus.0" '$0 ~ " (write|read) " port " " && / = [1-9]/ {
            bytes = $0; sub(/.*\[/, "", bytes); sub(/\].*/, "", bytes)
            zeros = bytes; gsub(/[0-9A-F][0-9A-F]/, "00", zeros)
            if ($4 == "write") { print "mosi " bytes; print "miso " zeros } else { print "mosi " zeros; print "miso " bytes }
        }' "$trace" >"$work/expected_bytes"
    local line
    for line in mosi miso; do
        sigrok-cli -I vcd:compress=1000 -i "$vcd" -A spi=$line-transfer \
            -P spi:clk=spi${bus}_sclk:mosi=spi${bus}_mosi:miso=spi${bus}_miso:cs=spi${bus}_cs:cpol=0:cpha=1 \
            2>"$work/sigrok.err" | sed "s/^spi-1: /$line /" >"$work/$line"
    done
    paste -d'\n' "$work/mosi" "$work/miso" >"$work/decoded"
    [ -s "$work/expected_bytes" ] || fail "the trace shows no transfer on port $bus"
    diff -u --label trace --label sigrok "$work/expected_bytes" "$work/decoded" || fail "sigrok decodes other bytes on port $bus"
}
decodes_as_traced "$work/probe.vcd" "$work/trace" 2

# A port opened late (chain 0 silent, chain 1's port opened at 14 s): idle from the start, so that the
# decoder finds its first transfer whole, and nothing before it.
printf 'chain 0 silent 0x00\nchain 1 inserted yes\nchain 1 type 6\n' >"$work/late.scn"
"${boardsim[@]}" --scenario "$work/late.scn" --trace "$work/late.trace" --vcd "$work/late.vcd" \
    -- "$build/bin/test_type_spi" >/dev/null 2>&1 || fail "the late probe ended with status $?"
grep -q '^\[   14.000000\] #[0-9]* open /dev/spidev1.0 ' "$work/late.trace" || fail "chain 1's port did not open at 14 s"
decodes_as_traced "$work/late.vcd" "$work/late.trace" 1

# Every variable has a value at time 0 ($dumpvars), but events, which have none.
awk '$1 == "$var" && $2 != "event" { declared[$4] = $5 }
     /^\$dumpvars/ { dumping = 1; next }
     dumping && /^\$end/ { dumping = 0 }
     dumping { id = $0; sub(/^s[^ ]* /, "", id); sub(/^[01x]/, "", id); valued[id] = 1 }
     END { for (id in declared) if (!(id in valued)) print declared[id] }' "$work/probe.vcd" >"$work/unvalued"
[ -s "$work/unvalued" ] && fail "variables without a value at time 0: $(tr '\n' ' ' <"$work/unvalued")"

# A waveform reads whole: after the header, only time stamps rising and changes of declared variables, of
# at least MIN variables, and at least ONES changes to 1.
reads_whole() { # vcd min ones
    awk -v min="$2" -v ones="$3" 'BEGIN { bad = 0 }
     $1 == "$var" { type[$4] = $2; vars++ }
     /^\$enddefinitions/ { body = 1; next }
     !body { next }
     /^#[0-9]+$/ { t = substr($0, 2) + 0; if (t < last) { print "time goes back at line " NR; bad = 1 } last = t; next }
     /^\$dumpvars$/ { dumping = 1; next }
     /^\$end$/ { dumping = 0; next }
     /^[01x]/ { if (type[substr($0, 2)] != "wire" && type[substr($0, 2)] != "event") { print "line " NR ": " $0; bad = 1 }
                if (!dumping && /^1/) set++; next }
     /^s[^ ]* / { id = $0; sub(/^s[^ ]* /, "", id); if (type[id] != "string") { print "line " NR ": " $0; bad = 1 } next }
     { print "line " NR ": " $0; bad = 1 }
     END { if (vars < min) { print "only " vars " variables"; bad = 1 }
           if (set < ones) { print "only " set " changes to 1"; bad = 1 } exit bad }' "$1"
}

# Every chain powered and asked: its lines and ports declared as they come.
printf 'chain * inserted yes\nchain * silent 0x00\n' >"$work/every.scn"
"${boardsim[@]}" --scenario "$work/every.scn" --vcd "$work/every.vcd" -- "$build/bin/test_type_spi" >/dev/null 2>&1
reads_whole "$work/every.vcd" 65 1 >"$work/every.check" ||
    fail "the waveform of every chain does not read whole: $(head -n 3 "$work/every.check")"
# A script that raises 151 lines, one at a time: more variables than the header's first room holds, the
# body written so far moved to make room, twice. (The build machine's shell runs no ARM program.)
if ((${#emulator[@]} == 0)); then
    "${boardsim[@]}" --vcd "$work/lines.vcd" -- /bin/sh -c 'for l in $(seq 0 150); do
        echo $l >/sys/class/gpio/export; echo high >/sys/class/gpio/gpio$l/direction; sleep 0.001; done' ||
        fail "the script of 151 lines ended with status $?"
    reads_whole "$work/lines.vcd" 151 151 >"$work/lines.check" ||
        fail "the waveform of 151 lines does not read whole: $(head -n 3 "$work/lines.check")"
fi

# The save file beside it: the waveform's own path, its variables in the chains' groups, nothing else.
[ -f "$work/probe.gtkw" ] || fail "no save file beside the waveform"
grep -qx "\[dumpfile\] \"$work/probe.vcd\"" "$work/probe.gtkw" || fail "the save file names another waveform: $(grep dumpfile "$work/probe.gtkw")"
grep '^board\.' "$work/probe.gtkw" | sed 's/^board\.//' | sort >"$work/saved_vars"
diff -u --label vcd --label gtkw "$work/vcd_vars_sorted" "$work/saved_vars" >/dev/null 2>&1 ||
    awk '$1 == "$var" { print $5 }' "$work/probe.vcd" | sort | diff -u --label vcd --label gtkw - "$work/saved_vars" ||
    fail "the save file shows other variables than the waveform has"
grep -qx -- '-chain 2' "$work/probe.gtkw" || fail "the save file has no group for chain 2"
# GTKWave opens it with the whole run in view: the zoom that "zoom full" gives for the waveform's last
# time (log2 of a third of it, negated, a little less), and none of the 27 markers set.
awk 'FNR == 1 { file++ }
     file == 1 && /^#[0-9]+$/ { end = substr($0, 2) + 0 }
     file == 2 && /^\*/ { zoom = substr($1, 2) + 0; markers = NF - 1; for (i = 2; i <= NF; i++) if ($i != -1) markers = -1 }
     END { want = -log(end / 3) / log(2) - 0.05
           if (markers != 27 || zoom - want > 0.01 || want - zoom > 0.01) { print zoom " " markers " for " end; exit 1 } }' \
    "$work/probe.vcd" "$work/probe.gtkw" >"$work/zoom.check" ||
    fail "the save file does not open on the whole run: $(cat "$work/zoom.check")"

if ! vcd2fst "$work/probe.vcd" "$work/probe.fst" >"$work/vcd2fst.out" 2>&1 || [ -s "$work/vcd2fst.out" ]; then
    fail "vcd2fst complains:"
    cat "$work/vcd2fst.out"
fi
fst2vcd "$work/probe.fst" 2>/dev/null | awk '$1 == "$var" { print $5 }' | sort >"$work/fst_vars"
awk '$1 == "$var" { print $5 }' "$work/probe.vcd" | sort >"$work/vcd_vars"
diff -u --label vcd --label fst "$work/vcd_vars" "$work/fst_vars" || fail "wires lost on the way through vcd2fst"

# Rising edges of the GPIO wires: chain 2's power-up.
awk '$1 == "$var" && $5 ~ /^gpio/ { name[$4] = $5 }
     /^#/ { t = substr($0, 2) }
     /^[01x]/ { id = substr($0, 2); v = substr($0, 1, 1)
                if (id in name && v == "1" && last[id] == "0") printf "%s rises at %.6f s\n", name[id], t / 1e9
                last[id] = v }' "$work/probe.vcd" >"$work/edges"
printf '%s\n' "gpio874 rises at 6.000000 s" "gpio859 rises at 11.000000 s" "gpio858 rises at 12.000000 s" |
    diff -u --label expected --label vcd - "$work/edges" || fail "other GPIO edges"

sed -n '/^time (s)/,$p' "$work/err" | diff -u --label expected --label timeline "$expected_timeline" - ||
    fail "another timeline"

# A program killed outright still leaves a file that opens, up to its last keep-alive. The run has no
# bound, so that it is the kill that ends it; the file grows under its temporary name until then.
printf 'run time-limit 0\nrun operation-limit 0\n' >"$work/unbounded.scn"
"${boardsim[@]}" --scenario "$work/unbounded.scn" --vcd "$work/ticker.vcd" -- "$build/bin/watchdog" >/dev/null 2>&1 &
runner=$!
for _ in $(seq 2000); do
    grep -qs '^1' "$work"/.ticker.vcd.boardsim-* && break
done
# The program itself, not the runner: SIGKILL gives it no chance to finish anything. (Only while the
# run goes on: a sanitizer's leak check starts a child of the runner once it is ending.)
if grep -qs '^1' "$work"/.ticker.vcd.boardsim-*; then
    for pid in $(cat "/proc/$runner/task/$runner/children" 2>/dev/null); do kill -KILL "$pid"; done
else
    fail "the ticker wrote no keep-alive"
    kill -TERM "$runner"
fi
wait "$runner" 2>/dev/null
# (Through a file: grep -q leaving a long conversion early would fail the pipeline.)
if ! vcd2fst "$work/ticker.vcd" "$work/ticker.fst" >"$work/ticker.log" 2>&1 ||
    ! fst2vcd "$work/ticker.fst" >"$work/ticker.back" 2>>"$work/ticker.log" ||
    ! grep -q ' watchdog_keepalive ' "$work/ticker.back"; then
    fail "the killed ticker's file does not open; it begins:"
    head -c 400 "$work/ticker.vcd" | grep -v '^ *$'
    tail -n 3 "$work/ticker.vcd"
    cat "$work/ticker.log"
fi

finish "$checked"
