#!/usr/bin/env bash
# A cross build against a board root file system: the programs link that root's libvexa.so (here the
# stand-in of this build, put in a scratch root beside the cross toolchain's C library), and once
# installed they name neither the root nor the build tree: NEEDED libvexa.so, RUNPATH /lib.
#   sysroot_link_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build_dir=$2
readelf=$(sed -n 's/^CMAKE_READELF:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "not ok: $*"; failures=$((failures + 1)); }

mkdir -p "$work/root/lib"
cp "$build_dir/lib/libvexa.so" "$work/root/lib/libvexa.so"
target_root=$(sed -n 's/^BOARD_TARGET_ROOT:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
cp -L "$target_root"/lib/{libc.so.6,libdl.so.2,libm.so.6,ld-linux-armhf.so.3} "$work/root/lib/"
if ! cmake -S "$source_dir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-armhf.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBOARD_TOOLS_TESTS=OFF -DBOARD_SYSROOT="$work/root" >"$work/log" 2>&1 ||
    ! cmake --build "$work/build" -j2 >>"$work/log" 2>&1 ||
    ! cmake --install "$work/build" --prefix "$work/stage" >>"$work/log" 2>&1; then
    cat "$work/log"
    echo "not ok: build against the board root"
    exit 1
fi

vexa=$(sed -n 's/^VEXA_LIBRARY:[A-Z]*=//p' "$work/build/CMakeCache.txt")
[[ $vexa == "$work/root/lib/libvexa.so" ]] || fail "VEXA_LIBRARY is '$vexa'"

dynamic() { "$readelf" -d "$1" | sed -n "s/.*($2).*\[\(.*\)\]/\1/p" | tr '\n' ' '; }
for name in test_type vexa_test watchdog; do
    # In the build tree the program finds the root's library; installed, the board's /lib.
    [[ $(dynamic "$work/build/bin/$name" RUNPATH) == "$work/root/lib"* ]] ||
        fail "$name in the build tree: RUNPATH '$(dynamic "$work/build/bin/$name" RUNPATH)'"
    installed=$work/stage/bin/$name
    [[ $(dynamic "$installed" NEEDED) == "libvexa.so libc.so.6 " ]] || fail "$name: NEEDED $(dynamic "$installed" NEEDED)"
    [[ $(dynamic "$installed" RUNPATH) == "/lib " ]] || fail "$name: RUNPATH '$(dynamic "$installed" RUNPATH)'"
done
if grep -rlF "$work" "$work/stage" >"$work/leaks"; then
    fail "installed files name the build machine's folders: $(cat "$work/leaks")"
fi
[[ ! -e $work/stage/lib ]] || fail "the stand-in was installed along with the board's library"
"$source_dir/scripts/footprint.sh" -B "$work/build" || fail "footprint"

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "ok: linked against $vexa"
