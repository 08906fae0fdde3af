#!/usr/bin/env bash
# A cross build against a board root file system: the programs link that root's libvexa.so (here the
# stand-in of this build, put in a scratch root beside the cross toolchain's C library), and once
# installed they name neither the root nor the build tree: NEEDED libvexa.so, RUNPATH /lib. The same
# folder configured again for another root links that root's library, for none the stand-in; a root
# without lib/libvexa.so is refused when configuring, in one line naming the file. Configuring says
# which root and which library.
#   sysroot_link_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build_dir=$2
source "$source_dir/scripts/lib.sh"
readelf=$(cache_value "$build_dir" CMAKE_READELF)
target_root=$(cache_value "$build_dir" BOARD_TARGET_ROOT)
temp_dir work
build=$work/build

make_root() { # root [with-libvexa]
    mkdir -p "$1/lib"
    cp -L "$target_root"/lib/{libc.so.6,libdl.so.2,libm.so.6,ld-linux-armhf.so.3} "$1/lib/"
    [[ -z ${2:-} ]] || cp "$build_dir/lib/libvexa.so" "$1/lib/libvexa.so"
}
configure() { # board root; the output in $work/configure
    cmake -S "$source_dir" --preset arm-programs -B "$build" -DBOARD_SYSROOT="$1" >"$work/configure" 2>&1
}
dynamic() { "$readelf" -d "$1" | sed -n "s/.*($2).*\[\(.*\)\]/\1/p" | tr '\n' ' '; }
says() { # what the configuration printed
    if grep -qxF -- "$1" "$work/configure"; then
        pass "configuring says: ${1#-- }"
    else
        fail "configuring does not say '$1':"
        cat "$work/configure"
    fi
}

# What goes into the package: the programs, their manual pages, the package's files.
make_root "$work/root" with-libvexa
if ! configure "$work/root" ||
    ! cmake --build "$build" -j2 --target test_type_spi test_type vexa_test watchdog api_query man_pages package_files \
        >"$work/log" 2>&1 ||
    ! cmake --install "$build" --prefix "$work/stage" --component board >>"$work/log" 2>&1; then
    cat "$work/configure" "$work/log"
    fail "build against the board root"
    finish "linking a board root's libvexa.so"
fi
says "-- Board root: $work/root, whose C library every board-side file is held against"
says "-- libvexa.so the programs link: $work/root/lib/libvexa.so"

for name in test_type vexa_test watchdog; do
    # In the build tree the program finds the root's library; installed, the board's /lib.
    [[ $(dynamic "$build/bin/$name" RUNPATH) == "$work/root/lib"* ]] ||
        fail "$name in the build tree: RUNPATH '$(dynamic "$build/bin/$name" RUNPATH)'"
    installed=$work/stage/bin/$name
    [[ $(dynamic "$installed" NEEDED) == "libvexa.so libc.so.6 " ]] || fail "$name: NEEDED $(dynamic "$installed" NEEDED)"
    [[ $(dynamic "$installed" RUNPATH) == "/lib " ]] || fail "$name: RUNPATH '$(dynamic "$installed" RUNPATH)'"
done
if grep -rlF "$work" "$work/stage" >"$work/leaks"; then
    fail "installed files name the build machine's folders: $(cat "$work/leaks")"
fi
[[ ! -e $work/stage/lib ]] || fail "the stand-in was installed along with the board's library"
"$source_dir/scripts/footprint.sh" -B "$build" "$work"/stage/bin/* || fail "footprint"

# The same folder for another board, then for none: each links its own library, in the build tree's
# run path of the program.
make_root "$work/other" with-libvexa
for root in "$work/other" ""; do
    if ! configure "$root" || ! cmake --build "$build" --target test_type >"$work/log" 2>&1; then
        cat "$work/configure" "$work/log"
        fail "configured again for the board root '$root'"
        continue
    fi
    runpath=$(dynamic "$build/bin/test_type" RUNPATH)
    if [[ -n $root ]]; then
        says "-- libvexa.so the programs link: $root/lib/libvexa.so"
        [[ $runpath == "$root/lib:"* && $runpath != *"$work/root/"* ]] || fail "for $root: test_type's RUNPATH '$runpath'"
    else
        says "-- Board root: none"
        says "-- libvexa.so the programs link: the stand-in, $build/lib/libvexa.so"
        [[ $runpath == '$ORIGIN/../lib'* && $runpath != *"$work/"* ]] || fail "for no board root: test_type's RUNPATH '$runpath'"
    fi
done

# A root without lib/libvexa.so: refused at once, the file named.
make_root "$work/bare"
if configure "$work/bare"; then
    fail "a board root without lib/libvexa.so was configured"
elif grep -qF "board root $work/bare: no $work/bare/lib/libvexa.so to link the programs against" "$work/configure"; then
    pass "a board root without lib/libvexa.so is refused"
else
    cat "$work/configure"
    fail "a board root without lib/libvexa.so: not the one-line refusal"
fi
finish "linking a board root's libvexa.so"
