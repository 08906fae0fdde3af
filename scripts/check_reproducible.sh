#!/usr/bin/env bash
# Usage: scripts/check_reproducible.sh [--first DIR] [COMMIT]          (default HEAD)
#
# The board packages of one commit are the same bytes however and whenever they are built: the commit
# is cloned into two folders of different lengths and built there with the preset "arm-programs" (the
# board programs, the recorder and their packages, without the test suite), one after the other, and
# the Debian packages and tarballs must be byte-identical. When they are not, diffoscope shows where.
# Then the members' time: the commit's, or SOURCE_DATE_EPOCH's when that is set (the builds themselves
# run without it, whatever the caller has).
# With --first DIR, the packages that a build of the commit already made in DIR (scripts/test_arm.sh's
# build-arm/, the preset "arm", whose programs are the same) stand for the first build, and one build
# is made instead of two; the tree must then be the commit with nothing uncommitted.
# Only committed work takes part. Installs the cross compiler when missing (as root). Exit status 1
# when the packages differ or carry another time.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
help_option "$@"
first_dir=
if [[ ${1-} == --first ]]; then
    (($# >= 2)) && [[ -n $2 && $2 != -* ]] || bad_use "--first needs the folder of a build's packages"
    first_dir=$(realpath -m -- "$2") # before the script moves to the tree's top
    shift 2
fi
no_options "$@"
(($# <= 1)) || bad_use "one commit at most"
cd "$(dirname "$0")/.."
unset SOURCE_DATE_EPOCH
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}") || bad_use "not a commit: ${1:-HEAD}"
scripts/setup.sh g++-arm-linux-gnueabihf >&2
temp_dir work
out=build-arm-programs

build() { # folder
    git clone -q "$PWD" "$1"
    git -C "$1" checkout -q --detach "$commit"
    if ! (cd "$1" && cmake --preset arm-programs && cmake --build --preset arm-programs &&
        make_packages "$out" "$out") >"$work/log" 2>&1; then
        cat "$work/log"
        fail "the build in $1"
        finish "reproducible packages"
    fi
}
second=$work/a-folder-with-a-much-longer-name/b
if [[ -n $first_dir ]]; then
    [[ $(git rev-parse HEAD) == "$commit" && -z $(git status --porcelain --untracked-files=no) ]] ||
        bad_use "--first $first_dir: this tree is not $commit as committed"
    first_packages=$first_dir
else
    build "$work/a"
    first_packages=$work/a/$out
    sleep 2
fi
build "$second"

for pattern in 'board-tools_*_armhf.deb' 'board-tools-*-armhf.tar.gz' 'boardsim_*_armhf.deb' 'boardsim-*-armhf.tar.gz'; do
    a=$(ls "$first_packages"/$pattern) || { fail "no $pattern in $first_packages"; continue; }
    b=$(ls "$second"/$out/$pattern)
    if cmp -s "$a" "$b"; then
        pass "$(basename "$a") is the same from both builds ($(sha256sum <"$a" | cut -c1-16))"
    else
        fail "$(basename "$a") differs between the builds"
        scripts/setup.sh diffoscope-minimal >&2
        # The machine's objdump cannot disassemble ARM code: sections are compared as bytes instead.
        diffoscope --no-progress --exclude-command '^objdump' "$a" "$b" | head -n 200 || true
    fi
done

# The members' time.
members_times() { # deb tarball: the distinct times of every member, as seconds
    { dpkg-deb --fsys-tarfile "$1" | TZ=UTC tar -t -v --full-time
      dpkg-deb --ctrl-tarfile "$1" | TZ=UTC tar -t -v --full-time
      TZ=UTC tar -t -v --full-time -zf "$2"; } | awk '{ print $4 " " $5 }' | sort -u |
        while read -r day time; do date -u -d "$day $time" +%s; done | sort -u | tr '\n' ' '
}
commit_time=$(git log -1 --format=%ct "$commit")
times=ok
check_times() { # folder expected-time what
    local package deb tgz
    for package in board-tools boardsim; do
        deb=$(ls "$1"/${package}_*_armhf.deb) tgz=$(ls "$1"/$package-*-armhf.tar.gz)
        if [[ $(members_times "$deb" "$tgz") != "$2 " ]]; then
            fail "$package: $3, members' times $(members_times "$deb" "$tgz")"
            times=
        fi
    done
}
check_times "$second/$out" "$commit_time" "not the commit's $commit_time"
if SOURCE_DATE_EPOCH=1000000000 make_packages "$second/$out" "$work/epoch"; then
    check_times "$work/epoch" 1000000000 "with SOURCE_DATE_EPOCH=1000000000"
else
    fail "making the packages with SOURCE_DATE_EPOCH=1000000000"
    times=
fi
[[ -z $times ]] || pass "the members carry the commit's time, or SOURCE_DATE_EPOCH's"
finish "reproducible packages: two builds of $commit"
