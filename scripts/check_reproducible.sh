#!/usr/bin/env bash
# The board packages of one commit are the same bytes however and whenever they are built: the commit
# (default HEAD) is cloned into two folders of different lengths and built there by the README's
# commands for the board, one after the other, and the two Debian packages and tarballs must be
# byte-identical. When they are not, diffoscope shows where. Then the members' time: the commit's, or
# SOURCE_DATE_EPOCH's when that is set (the builds themselves run without it, whatever the caller has).
#
#   scripts/check_reproducible.sh [COMMIT]
#
# Only committed work takes part. Exit status 1 when the packages differ or carry another time.
set -euo pipefail
cd "$(dirname "$0")/.."
unset SOURCE_DATE_EPOCH
scripts/setup.sh g++-arm-linux-gnueabihf >&2
commit=$(git rev-parse "${1:-HEAD}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "not ok: $*"; failures=$((failures + 1)); }

# The README's commands for the board, without the test suite, which is not packaged.
build() { # folder
    git clone -q "$PWD" "$1"
    git -C "$1" checkout -q --detach "$commit"
    (cd "$1" && cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DBOARD_TOOLS_TESTS=OFF &&
        cmake --build build-arm -j2 && cmake --build build-arm --target package) >"$work/log" 2>&1 ||
        { cat "$work/log"; echo "not ok: the build in $1"; exit 1; }
}
first=$work/a
second=$work/a-folder-with-a-much-longer-name/b
build "$first"
sleep 2
build "$second"

for pattern in 'board-tools_*_armhf.deb' 'board-tools-*-armhf.tar.gz'; do
    a=$(ls "$first"/build-arm/$pattern) b=$(ls "$second"/build-arm/$pattern)
    if cmp -s "$a" "$b"; then
        echo "ok: $(basename "$a") is the same from both builds ($(sha256sum <"$a" | cut -c1-16))"
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
deb=$(ls "$second"/build-arm/board-tools_*_armhf.deb) tgz=$(ls "$second"/build-arm/board-tools-*-armhf.tar.gz)
commit_time=$(git log -1 --format=%ct "$commit")
[[ $(members_times "$deb" "$tgz") == "$commit_time " ]] || fail "members' times $(members_times "$deb" "$tgz"), not the commit's $commit_time"
(cd "$second/build-arm" && SOURCE_DATE_EPOCH=1000000000 cpack >"$work/log" 2>&1) || { cat "$work/log"; fail "cpack"; }
[[ $(members_times "$deb" "$tgz") == "1000000000 " ]] || fail "with SOURCE_DATE_EPOCH=1000000000, members' times $(members_times "$deb" "$tgz")"
((failures)) || echo "ok: the members carry the commit's time, or SOURCE_DATE_EPOCH's"

if ((failures)); then
    echo "reproducible: $failures failed"
    exit 1
fi
echo "reproducible: two builds of $commit give the same packages"
