#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", build-fuzz/) and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS [TARGET...]]    default: 60 seconds for every target in fuzz/corpus/
# Each target starts from its seed corpus fuzz/corpus/<target>/ plus what earlier local runs found
# (build-fuzz/corpus/<target>/); the repository's corpus is never written. A failing input is saved
# in build-fuzz/artifacts/<target>/ and the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang libclang-rt-14-dev

seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
    for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for t in "${targets[@]}"; do
    work=build-fuzz/corpus/$t
    artifacts=build-fuzz/artifacts/$t
    mkdir -p "$work" "$artifacts"
    echo "fuzz $t: ${seconds}s"
    # -close_fd_mask=3 silences the code under test; libFuzzer and the sanitizers keep their own stderr.
    if ! build-fuzz/fuzz/${t}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
            "$work" "fuzz/corpus/$t" >"build-fuzz/fuzz-$t.log" 2>&1; then
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "build-fuzz/fuzz-$t.log" || tail -30 "build-fuzz/fuzz-$t.log"
        echo "fuzz $t: FAILED; full log build-fuzz/fuzz-$t.log"
        echo "  reproduce: build-fuzz/fuzz/${t}_fuzz $artifacts/<file>"
        echo "  once fixed, keep the input as a regression test: copy it to fuzz/regressions/$t/"
        status=1
    else
        grep -E '^Done|stat::number_of_executed_units' "build-fuzz/fuzz-$t.log" | tr '\n' ' '
        echo
    fi
done
exit $status
