#!/usr/bin/env bash
# The manual pages: each one lints clean with mandoc and with man's own formatter, carries the
# sections a user looks for and the project's version, and is installed compressed.
#   man_pages_test.sh SOURCE_DIR STAGE_DIR VERSION PAGE...
set -uo pipefail
source_dir=$1 stage=$2 version=$3
shift 3
source "$source_dir/scripts/lib.sh"
checked="$# manual pages: lint, sections, version, installed"
for tool in mandoc man; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
((failures == 0)) || finish "$checked"

for page in "$@"; do
    src=$source_dir/man/$page.1
    lint=$(mandoc -T lint "$src" 2>&1) || true
    [[ -z $lint ]] || fail "mandoc -T lint $page.1: $lint"
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$src" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man --warnings $page.1: $warnings"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
        grep -qx "\.SH $section\|\.SH \"$section\"" "$src" || fail "$page.1 has no $section section"
    done
    grep -q "^\.TH .* \"board-tools $version\"" "$src" || fail "$page.1 does not carry version $version"
    installed=$stage/share/man/man1/$page.1.gz
    if [[ ! -f $installed ]]; then
        fail "$page.1.gz is not installed under share/man/man1"
    elif ! cmp -s <(gzip -dc "$installed") "$src"; then
        fail "the installed $page.1.gz is not $page.1"
    fi
done
finish "$checked"
