#!/usr/bin/env bash
# The manual pages: each one lints clean with mandoc and with man's own formatter, carries the
# sections a user looks for and the project's version, and is installed compressed under the folder
# of its section. A page is named with its section (boardsim-scenario.5), or without one for a
# program's page in section 1; a page of a file format (section 5) has no options or exit status.
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
    [[ $page =~ \.[1-9]$ ]] || page=$page.1
    section=${page##*.}
    src=$source_dir/man/$page
    [[ -f $src ]] || { fail "man/$page does not exist"; continue; }
    sections=(NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES "SEE ALSO")
    [[ $section == 5 ]] && sections=(NAME DESCRIPTION FILES EXAMPLES "SEE ALSO")
    lint=$(mandoc -T lint "$src" 2>&1) || true
    [[ -z $lint ]] || fail "mandoc -T lint $page: $lint"
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$src" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man --warnings $page: $warnings"
    for heading in "${sections[@]}"; do
        grep -qx "\.SH $heading\|\.SH \"$heading\"" "$src" || fail "$page has no $heading section"
    done
    grep -q "^\.TH [^ ]* $section .* \"board-tools $version\"" "$src" ||
        fail "$page does not carry section $section and version $version"
    installed=$stage/share/man/man$section/$page.gz
    if [[ ! -f $installed ]]; then
        fail "$page.gz is not installed under share/man/man$section"
    elif ! cmp -s <(gzip -dc "$installed") "$src"; then
        fail "the installed $page.gz is not $page"
    fi
done
finish "$checked"
