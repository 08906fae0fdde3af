#!/usr/bin/env bash
# A build for a given board (BOARD_SYSROOT) holds what it builds against the board's own C library:
# a library with every version the programs need lets the build through; one that lacks a version
# stops the build, naming the symbol, the version and the library, and leaves no program behind; a
# library that is not the GNU C library stops the configuration.
#   board_root_test.sh SOURCE_DIR BUILD_DIR C_COMPILER
set -uo pipefail
source_dir=$1 build_dir=$2 cc=$3
source "$source_dir/scripts/lib.sh"
baseline=$(cache_value "$build_dir" BOARD_LIBC_BASELINE)
temp_dir work

# A board root whose libraries define the given versions and nothing else (a version "-" defines
# none, as a C library other than the GNU one), with the board's libvexa.so.
make_root() { # root versions
    local root=$1 versions=$2 lib
    mkdir -p "$root/lib"
    cp "$build_dir/lib/libvexa.so" "$root/lib/"
    echo 'int board_library_placeholder;' >"$work/placeholder.c"
    for lib in libc.so.6 libdl.so.2 libm.so.6; do
        local script=()
        if [[ $versions != - ]]; then
            for v in $versions; do printf '%s { global: board_library_placeholder; };\n' "$v"; done >"$work/$lib.map"
            script=(-Wl,--version-script,"$work/$lib.map")
        fi
        "$cc" -shared -nostdlib -Wl,-soname,"$lib" "${script[@]}" "$work/placeholder.c" -o "$root/lib/$lib" ||
            fail "making $lib"
    done
}

configure() { # root build
    cmake -S "$source_dir" --preset arm-programs -B "$2" -DBOARD_SYSROOT="$1" >"$work/log" 2>&1
}

# The oldest C library the programs are built for, as the board has it.
make_root "$work/old" "$baseline"
if configure "$work/old" "$work/build-old" && cmake --build "$work/build-old" --target test_type_spi >>"$work/log" 2>&1 &&
    [[ -f $work/build-old/bin/test_type_spi ]]; then
    pass "a board with $baseline only"
else
    cat "$work/log"
    fail "a board with $baseline only"
fi

# A C library from before the baseline: the build stops at the first program, which is not left behind.
make_root "$work/older" GLIBC_2.3
if ! configure "$work/older" "$work/build-older"; then
    cat "$work/log"
    fail "configuring for a board without $baseline"
elif cmake --build "$work/build-older" --target test_type_spi >"$work/log" 2>&1; then
    fail "the build for a board without $baseline went through"
else
    refusal=$(grep '^board root' "$work/log")
    pattern="^board root $work/older: $work/older/lib/libc.so.6 lacks $baseline, which test_type_spi needs for [a-z_]+$"
    if [[ $refusal =~ $pattern && ! -e $work/build-older/bin/test_type_spi ]]; then
        pass "a board without $baseline: $refusal"
    else
        cat "$work/log"
        fail "a board without $baseline: '$refusal'"
    fi
fi

# Not the GNU C library at all: the configuration stops.
make_root "$work/other" -
if configure "$work/other" "$work/build-other"; then
    fail "configuring for a board whose C library is not the GNU one went through"
elif grep -q "board root $work/other: $work/other/lib/libc.so.6 is not the GNU C library" "$work/log"; then
    pass "a C library other than the GNU one"
else
    cat "$work/log"
    fail "a C library other than the GNU one"
fi

finish "board roots: the C library each one carries decides what builds"
