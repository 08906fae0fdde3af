#!/usr/bin/env bash
# Every script of scripts/ answers -h and --help with its usage on standard output and status 0, an
# unknown option with the usage on standard error and status 2, and does nothing else: none of the
# tools that a script's work calls is started (each is a stand-in here that notes its call), the source
# tree is as it was (no file or folder new, changed or gone; no build folder new; no build folder's
# cache rewritten) and no temporary file is left.
#   help_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
source "$source_dir/scripts/lib.sh"
temp_dir work

mkdir "$work/bin" "$work/tmp"
for tool in apt-get apt-cache dpkg dpkg-query dpkg-deb cmake ctest cpack make git gcc g++ cc c++ clang clang++ \
    arm-linux-gnueabihf-gcc arm-linux-gnueabihf-g++ arm-linux-gnueabihf-readelf arm-linux-gnueabihf-strip readelf \
    qemu-arm qemu-system-arm run-clang-tidy clang-tidy cppcheck lintian hardening-check diffoscope cpio dtc gzip tar \
    timeout nproc status_server boardsim cat cp mv rm mkdir mktemp ln chmod touch find xargs sed grep awk sleep kill \
    curl wget sudo; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit 1\n' "$tool" "$work/called" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
done

# The tree with each entry's time and size; the build folders by name, with their cache's time.
snapshot() {
    find "$source_dir" -mindepth 1 \( -path "$source_dir/.git" -o -path "$source_dir/build*" \) -prune -printf '%P\n' \
        -o -printf '%P %T@ %s\n'
    find "$source_dir" -mindepth 2 -maxdepth 2 -path "$source_dir/build*/CMakeCache.txt" -printf '%P %T@ %s\n'
}

run() { # name script words...: the script's status, standard output and error in $work/NAME.*
    local name=$1 script=$2
    shift 2
    : >"$work/called"
    (cd "$work/tmp" && PATH="$work/bin:$PATH" TMPDIR="$work/tmp" "$script" "$@" >"$work/$name.out" 2>"$work/$name.err")
    echo $? >"$work/$name.status"
    if [[ -s $work/called ]]; then
        fail "$(basename "$script") $*: started $(tr '\n' ';' <"$work/called")"
    fi
    if [[ -n $(ls -A "$work/tmp") ]]; then
        fail "$(basename "$script") $*: left $(ls -A "$work/tmp")"
        rm -rf "${work:?}"/tmp/*
    fi
}

snapshot | sort >"$work/before"
checked=0
for script in "$source_dir"/scripts/*; do
    name=$(basename "$script")
    # Sourced by the others, never run.
    [[ $name == lib.sh ]] && continue
    if [[ ! -x $script ]]; then
        fail "$name is not executable"
        continue
    fi
    checked=$((checked + 1))
    failed_before=$failures
    run long "$script" --help
    run short "$script" -h
    run unknown "$script" --no-such-option
    usage_line="Usage: scripts/$name"
    if [[ $(cat "$work/long.status") != 0 || -s $work/long.err || $(head -n 1 "$work/long.out") != "$usage_line"* ]]; then
        fail "$name --help: status $(cat "$work/long.status"), standard output begins '$(head -n 1 "$work/long.out")', standard error '$(cat "$work/long.err")'"
    fi
    if [[ $(cat "$work/short.status") != 0 ]] || ! cmp -s "$work/short.out" "$work/long.out" || [[ -s $work/short.err ]]; then
        fail "$name -h: status $(cat "$work/short.status"), not the same usage as --help"
    fi
    if [[ $(cat "$work/unknown.status") != 2 || -s $work/unknown.out ]] || ! grep -qF "$usage_line" "$work/unknown.err"; then
        fail "$name --no-such-option: status $(cat "$work/unknown.status"), standard output '$(cat "$work/unknown.out")', standard error '$(cat "$work/unknown.err")'"
    fi
    ((failures > failed_before)) || pass "$name: --help, -h, --no-such-option"
done
snapshot | sort >"$work/after"
if ! diff -u "$work/before" "$work/after" >"$work/diff"; then
    fail "the tree changed:"
    cat "$work/diff"
fi
((checked >= 17)) || fail "only $checked scripts found in $source_dir/scripts"
finish "$checked scripts answer --help and -h, refuse an unknown option, and do nothing else"
