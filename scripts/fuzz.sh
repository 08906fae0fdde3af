#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]
#
# Builds the libFuzzer targets (preset "fuzz", build-fuzz/) and runs each for SECONDS (default 60),
# every target of fuzz/corpus/ unless TARGETs are named, as many at once as the machine has cores.
# Each target starts from its seed corpus fuzz/corpus/<target>/ plus what earlier local runs found
# (build-fuzz/corpus/<target>/); the repository's corpus is never written. A failing input is saved
# in build-fuzz/artifacts/<target>/ and the run fails (exit status 1).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_options "$@"
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || bad_use "SECONDS must be a whole number of seconds: $seconds"
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
    for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
for t in "${targets[@]}"; do
    [[ -d fuzz/corpus/$t ]] || bad_use "no such target: $t (the targets are the folders of fuzz/corpus/)"
done
scripts/setup.sh clang libclang-rt-14-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# One target's run, in the background; its exit status in build-fuzz/fuzz-<target>.status. Ended
# (SIGTERM), it ends its fuzzer.
run_target() { # target
    local t=$1 work=build-fuzz/corpus/$1 artifacts=build-fuzz/artifacts/$1 status=0 fuzzer
    mkdir -p "$work" "$artifacts"
    # -close_fd_mask=3 silences the code under test; libFuzzer and the sanitizers keep their own stderr.
    build-fuzz/fuzz/${t}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "fuzz/corpus/$t" >"build-fuzz/fuzz-$t.log" 2>&1 &
    fuzzer=$!
    trap 'kill "$fuzzer" 2>/dev/null; exit 143' TERM
    wait "$fuzzer" || status=$?
    echo "$status" >"build-fuzz/fuzz-$t.status"
}
on_exit 'for job in $(jobs -p); do kill "$job" 2>/dev/null; done; wait'

cores=$(nproc)
echo "fuzz: ${seconds}s for each of ${targets[*]}, $cores at a time"
for t in "${targets[@]}"; do
    rm -f "build-fuzz/fuzz-$t.status"
    while (($(jobs -rp | wc -l) >= cores)); do wait -n || true; done
    run_target "$t" &
done
wait

for t in "${targets[@]}"; do
    if [[ $(cat "build-fuzz/fuzz-$t.status" 2>/dev/null) == 0 ]]; then
        pass "$t: $(grep -E '^Done|stat::number_of_executed_units' "build-fuzz/fuzz-$t.log" | tr '\n' ' ')"
    else
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "build-fuzz/fuzz-$t.log" || tail -30 "build-fuzz/fuzz-$t.log"
        fail "$t; full log build-fuzz/fuzz-$t.log"
        echo "  reproduce: build-fuzz/fuzz/${t}_fuzz build-fuzz/artifacts/$t/<file>"
        echo "  once fixed, keep the input as a regression test: copy it to fuzz/regressions/$t/"
    fi
done
finish "fuzzing, ${seconds}s per target"
