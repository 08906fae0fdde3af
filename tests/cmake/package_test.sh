#!/usr/bin/env bash
# The packages of this build, each a tarball and a Debian package holding the same files:
# - board-tools: exactly the installed programs under usr/bin, stripped, their manual pages and the
#   package's own files (copyright, changelog, lintian overrides);
# - boardsim: the simulated board's runner and preload library, the ready scenarios, the runner's
#   manual page and the scenario format's in section 5 (and, built for a workstation, the stand-in board
#   library and the status server stand-in with its page) and the same files.
# Each Debian package is for the expected architecture and depends on the C library its files need
# (no newer than the build's baseline when it has one); every manual page names only files that its
# own package carries; lintian accepts both, with no error and no warning.
#   package_test.sh BUILD_DIR ARCH LIBC_BASELINE|- PROGRAM...
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
build_dir=$1 arch=$2 baseline=$3
shift 3
sim_tools=(boardsim)
[[ $baseline == - ]] && sim_tools+=(status_server)
checked="the packages board-tools ($*) and boardsim (${sim_tools[*]}) for $arch"
command -v lintian >/dev/null || { fail "lintian is missing (scripts/setup.sh installs it)"; finish "$checked"; }
temp_dir work

# Made as every script makes them.
make_packages "$build_dir" "$work/out" || { fail "making the packages"; finish "$checked"; }
source_dir=$(cache_value "$build_dir" CMAKE_HOME_DIRECTORY)
readelf=$(cache_value "$build_dir" CMAKE_READELF)

own_files() { # package
    printf '%s\n' "usr/share/doc/$1/copyright" "usr/share/doc/$1/changelog.gz"
    # The recorder built for a board has no maintainer scripts for its overrides to answer.
    [[ $1 == boardsim && $baseline != - ]] || echo "usr/share/lintian/overrides/$1"
}
board_files=$({
    printf 'usr/bin/%s\n' "$@"
    printf 'usr/share/man/man1/%s.1.gz\n' "$@"
    own_files board-tools
} | sort)
sim_files=$({
    printf 'usr/bin/%s\n' "${sim_tools[@]}"
    printf 'usr/share/man/man1/%s.1.gz\n' "${sim_tools[@]}"
    echo usr/share/man/man5/boardsim-scenario.5.gz
    echo usr/lib/boardsim/libboardsim.so
    # On a workstation the simulated board carries the stand-in board library for the programs it runs.
    [[ $baseline != - ]] || echo usr/lib/boardsim/libvexa.so
    for s in "$source_dir"/boardsim/scenarios/*.scn; do echo "usr/share/boardsim/scenarios/$(basename "$s")"; done
    own_files boardsim
} | sort)

# PACKAGE TARBALL-NAME FILES ELF-FILES...
check_package() {
    local package=$1 tarball=$2 expected=$3
    shift 3
    local deb=$work/out/${package}_*_$arch.deb tgz=$work/out/$tarball-*-$arch.tar.gz
    deb=$(echo $deb) tgz=$(echo $tgz)
    [[ -f $deb ]] || { fail "no Debian package $package for $arch: $(ls "$work/out")"; return; }
    [[ -f $tgz ]] || { fail "no tarball $tarball for $arch: $(ls "$work/out")"; return; }
    local deb_files tgz_files
    deb_files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '/$' | sort)
    tgz_files=$(tar -tzf "$tgz" | sed 's|^\./||' | grep -v '/$' | sort)
    [[ $deb_files == "$expected" ]] || fail "$package: the Debian package holds: $deb_files"
    [[ $tgz_files == "$expected" ]] || fail "$package: the tarball holds: $tgz_files"
    [[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "$package: architecture $(dpkg-deb -f "$deb" Architecture)"
    [[ $(dpkg-deb -f "$deb" Package) == "$package" ]] || fail "package name $(dpkg-deb -f "$deb" Package)"
    [[ $(dpkg-deb -f "$deb" Description | head -n 1) != "$(dpkg-deb -f "$deb" Description | sed -n 2p | sed 's/^ //')" ]] ||
        fail "$package: the synopsis is the description's first line again"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    if [[ $baseline == - ]]; then
        [[ $depends =~ ^libc6\ \(\>=\ 2\.[0-9]+\)(,|$) ]] || fail "$package: Depends: $depends"
    else
        [[ $depends == "libc6 (>= ${baseline#GLIBC_})" ]] || fail "$package: Depends: $depends, expected libc6 (>= ${baseline#GLIBC_})"
    fi

    local root=$work/unpacked/$package
    mkdir -p "$root"
    tar -xzf "$tgz" -C "$root"
    for f in "$@"; do
        [[ $f != usr/bin/* || -x $root/$f ]] || fail "$package: $f is not executable in the tarball"
        if "$readelf" -S "$root/$f" | grep -q '\.symtab'; then fail "$package: $f is not stripped"; fi
    done
    # The files a manual page names under /usr, and the ready scenarios it names, are in the package.
    for page in "$root"/usr/share/man/man*/*.gz; do
        while read -r named; do
            [[ -e $root/$named ]] || fail "$package: $(basename "$page" .gz) names /$named, which the package does not carry"
        done < <(gzip -dc "$page" | sed 's/\\-/-/g' | grep -o '/usr/[A-Za-z0-9_./-]*' | sed 's|^/||; s|[.]$||' | sort -u)
        while read -r scenario; do
            [[ -e $root/usr/share/boardsim/scenarios/$scenario ]] ||
                fail "$package: $(basename "$page" .gz) names the scenario $scenario, which the package does not carry"
        done < <(gzip -dc "$page" | grep -o '[A-Za-z0-9_]*\.scn' | sort -u)
    done
    lintian --allow-root --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || fail "$package: lintian: $(cat "$work/lintian")"
    # An override that answers nothing hides nothing today and may hide a real tag tomorrow.
    lintian --allow-root -I "$deb" 2>&1 | grep ' unused-override ' >"$work/unused" && fail "$package: $(cat "$work/unused")"
}

check_package board-tools board-tools "$board_files" "${@/#/usr/bin/}"
check_package boardsim boardsim "$sim_files" "${sim_tools[@]/#/usr/bin/}" usr/lib/boardsim/libboardsim.so

# Installed together on a workstation, the simulated board runs all five programs by their installed
# paths, on the shipped scenarios.
if [[ $baseline == - ]]; then
    root=$work/installed
    for deb in "$work"/out/board-tools_*_"$arch".deb "$work"/out/boardsim_*_"$arch".deb; do dpkg-deb -x "$deb" "$root"; done
    scenarios=$root/usr/share/boardsim/scenarios
    run_installed() { # EXPECTED-STATUS EXPECTED-OUTPUT SCENARIO PROGRAM [ARGS...]
        local status=$1 expected=$2 scenario=$3 program=$4 out
        shift 4
        out=$(env -u LD_LIBRARY_PATH "$root/usr/bin/boardsim" --scenario "$scenarios/$scenario" -- \
            "$root/usr/bin/$program" "$@" 2>"$work/err")
        local got=$?
        if [[ $got == "$status" && $out == "$expected" ]]; then
            pass "installed: $program $*"
        else
            fail "installed: $program $* gave status $got, output '$out': $(cat "$work/err")"
        fi
    }
    run_installed 0 K6 chain2_k6.scn test_type_spi
    run_installed 0 K6 chain2_k6.scn test_type
    run_installed 0 "" no_boards.scn vexa_test 1 2 300 2
    run_installed 143 "" watchdog_stop3.scn watchdog -p 1
    run_installed 1 "Socket connect failed: Connection refused" no_boards.scn api_query summary 127.0.0.1 1
fi

finish "$checked"
