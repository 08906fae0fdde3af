#!/usr/bin/env bash
# scripts/footprint.sh against programs whose budget is known: each broken budget is named, the
# exit status says whether any is, and the board programs of this build pass. Their run is also the
# sample run that README shows (its block that begins with the table's header, "program  stripped
# NEEDED"): the figures there are this run's, line for line. README is "-" for a build unlike the
# one the sample comes from, which has other figures.
#   footprint_test.sh SCRIPT BUILD_DIR FIXTURE_DIR README|-
set -uo pipefail
script=$1 build=$2 fixtures=$3 readme=$4
source "$(dirname "$0")/../../scripts/lib.sh"
temp_dir work

check() { # name expected-status expected-FAIL-lines-file, then the script's arguments
    local name=$1 want_status=$2 want_fails=$3
    shift 3
    "$script" -B "$build" "$@" >"$work/out" 2>"$work/err"
    local status=$?
    grep '^FAIL ' "$work/out" >"$work/fails" || true
    if [[ $status != "$want_status" ]] || ! diff -u "$want_fails" "$work/fails" >"$work/diff"; then
        fail "$name (status $status, expected $want_status)"
        cat "$work/diff" "$work/out" "$work/err"
    else
        pass "$name"
    fi
}

# The library programs may need libvexa.so; under any other name the same program breaks the budget.
cp "$fixtures/vexa_user" "$work/watchdog"
cp "$fixtures/vexa_user" "$work/api_query"
fat_size=$(stat -c %s "$fixtures/fat_program")

: >"$work/none"
check "library program with libvexa.so" 0 "$work/none" "$work/watchdog"
printf 'FAIL api_query: needs libvexa.so\n' >"$work/expect"
check "libvexa.so outside the library programs" 1 "$work/expect" "$work/api_query" "$work/watchdog"
printf 'FAIL needs_libm: needs libm.so.6\n' >"$work/expect"
check "libm" 1 "$work/expect" "$fixtures/needs_libm"
check "not an ARM program" 1 <(printf 'FAIL sh: not a 32-bit ARM program\n') /bin/sh
printf 'FAIL needs_new_libc: getentropy needs GLIBC_2.25 of libc.so.6, newer than GLIBC_2.4\n' >"$work/expect"
check "a C-library version newer than the baseline" 1 "$work/expect" "$fixtures/needs_new_libc"

# The fat program's stripped size is whatever the toolchain makes of it; only that it is over counts.
"$script" -B "$build" "$fixtures/fat_program" >"$work/out"
status=$?
if [[ $status == 1 ]] && grep -Eq '^FAIL fat_program: [0-9]+ bytes stripped, over 16384$' "$work/out" &&
    ((fat_size > 16384)); then
    pass "over the size budget"
else
    fail "over the size budget (status $status)"
    cat "$work/out"
fi

# Every program this build installs is within budget.
check "the board programs of this build" 0 "$work/none"

# README's sample: its indented block from the table's header on, blank lines within it kept.
if [[ $readme != - ]]; then
    awk '/^    program +stripped +NEEDED$/ { sample = 1 }
         sample && /^$/ { blanks++; next }
         sample && /^    / { for (; blanks; blanks--) print ""; print substr($0, 5); next }
         sample { exit }' "$readme" >"$work/sample"
    if [[ ! -s $work/sample ]]; then
        fail "$readme shows no footprint sample (a block that begins with \"    program  stripped  NEEDED\")"
    elif diff -u --label "$readme" --label "footprint.sh -B $build" "$work/sample" "$work/out" >"$work/diff"; then
        pass "$readme's footprint sample is this build's run"
    else
        fail "$readme's footprint sample is not this build's run (paste the run's output there):"
        cat "$work/diff"
    fi
fi

finish "scripts/footprint.sh on programs whose budget is known, and on this build's"
