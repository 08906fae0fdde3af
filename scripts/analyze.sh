#!/usr/bin/env bash
# Usage: scripts/analyze.sh
#
# Static analysis of every C++ source in the repository: clang-tidy with the checks of .clang-tidy
# (tests/.clang-tidy relaxes a few for test code), cppcheck with .cppcheck-suppressions, and the
# layout: every C and C++ file as clang-format lays it out by .clang-format.
# Any finding fails the run (exit status 1). The compilation database comes from a configure-only
# clang tree in build-analyze/ (preset "analyze"), so the sources are analysed with the flags they
# are really built with.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
scripts/setup.sh clang clang-tidy clang-format cppcheck libclang-rt-14-dev

cmake --preset analyze >/dev/null

mapfile -t sources < <(git ls-files '*.cpp' '*.cc')
mapfile -t include_dirs < <(git ls-files '*.h' | xargs -r -n1 dirname | sort -u)

echo "clang-tidy: ${#sources[@]} sources"
# run-clang-tidy takes regular expressions; anchor each path to the repository's root.
root=$(pwd)
patterns=()
for s in "${sources[@]}"; do patterns+=("^${root}/${s}\$"); done
if ! run-clang-tidy -p build-analyze -j 2 -quiet -header-filter="^${root}/" "${patterns[@]}" >build-analyze/clang-tidy.log 2>&1; then
    sed 's/\x1b\[[0-9;]*m//g' build-analyze/clang-tidy.log | grep -E '(warning|error):' | sort -u ||
        tail -40 build-analyze/clang-tidy.log
    fail "clang-tidy (full log: build-analyze/clang-tidy.log)"
else
    pass "clang-tidy: clean"
fi

echo "cppcheck: ${#sources[@]} sources"
if ! cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
        --library=posix --library=googletest --inline-suppr \
        --suppressions-list=.cppcheck-suppressions --error-exitcode=1 --quiet \
        --template='{file}:{line}: {severity} ({id}): {message}' \
        "${include_dirs[@]/#/-I}" "${sources[@]}"; then
    fail "cppcheck"
else
    pass "cppcheck: clean"
fi
mapfile -t all_files < <(git ls-files '*.cpp' '*.cc' '*.c' '*.h')
echo "clang-format: ${#all_files[@]} files"
unformatted=()
for f in "${all_files[@]}"; do
    clang-format --style=file "$f" | cmp -s - "$f" || unformatted+=("$f")
done
if ((${#unformatted[@]})); then
    printf '  %s\n' "${unformatted[@]}"
    fail "clang-format would change ${#unformatted[@]} files (clang-format -i FILE... lays them out)"
else
    pass "clang-format: every file as .clang-format lays it out"
fi
finish "static analysis"
