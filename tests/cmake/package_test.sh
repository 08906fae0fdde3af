#!/usr/bin/env bash
# The packages of this build: the tarball and the Debian package hold exactly the installed programs
# under usr/bin, stripped, their manual pages and the package's own files (copyright, changelog,
# lintian overrides), and the Debian package is for the expected architecture and depends on the
# C library the programs need: no newer than the build's baseline when it has one.
#   package_test.sh BUILD_DIR ARCH LIBC_BASELINE|- PROGRAM...
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
build_dir=$1 arch=$2 baseline=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "not ok: $*"; failures=$((failures + 1)); }

if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/log" 2>&1; then
    cat "$work/log"
    echo "not ok: cpack"
    exit 1
fi
deb=("$work"/out/board-tools_*_"$arch".deb)
tgz=("$work"/out/board-tools-*-"$arch".tar.gz)
[[ -f ${deb[0]} ]] || fail "no Debian package for $arch: $(ls "$work/out")"
[[ -f ${tgz[0]} ]] || fail "no tarball for $arch: $(ls "$work/out")"
((failures == 0)) || exit 1

expected=$({
    printf 'usr/bin/%s\n' "$@"
    printf 'usr/share/man/man1/%s.1.gz\n' "$@"
    printf '%s\n' usr/share/doc/board-tools/copyright usr/share/doc/board-tools/changelog.gz \
        usr/share/lintian/overrides/board-tools
} | sort)
deb_files=$(dpkg-deb --fsys-tarfile "${deb[0]}" | tar -t | sed 's|^\./||' | grep -v '/$' | sort)
tgz_files=$(tar -tzf "${tgz[0]}" | sed 's|^\./||' | grep -v '/$' | sort)
[[ $deb_files == "$expected" ]] || fail "Debian package holds: $deb_files"
[[ $tgz_files == "$expected" ]] || fail "tarball holds: $tgz_files"
[[ $(dpkg-deb -f "${deb[0]}" Architecture) == "$arch" ]] || fail "architecture $(dpkg-deb -f "${deb[0]}" Architecture)"
[[ $(dpkg-deb -f "${deb[0]}" Package) == board-tools ]] || fail "package name $(dpkg-deb -f "${deb[0]}" Package)"
depends=$(dpkg-deb -f "${deb[0]}" Depends)
if [[ $baseline == - ]]; then
    [[ $depends =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "Depends: $depends"
else
    [[ $depends == "libc6 (>= ${baseline#GLIBC_})" ]] || fail "Depends: $depends, expected libc6 (>= ${baseline#GLIBC_})"
fi

mkdir -p "$work/unpacked"
tar -xzf "${tgz[0]}" -C "$work/unpacked"
readelf=$(cache_value "$build_dir" CMAKE_READELF)
for p in "$@"; do
    [[ -x $work/unpacked/usr/bin/$p ]] || fail "$p is not executable in the tarball"
    if "$readelf" -S "$work/unpacked/usr/bin/$p" | grep -q '\.symtab'; then fail "$p is not stripped"; fi
done

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "ok: $(basename "${deb[0]}") and $(basename "${tgz[0]}") hold $*"
