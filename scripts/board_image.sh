#!/usr/bin/env bash
# Usage: scripts/board_image.sh
#
# Makes the emulated board in build-kernel/: Debian's armhf kernel, the device tree of
# emulated_board/board.dts, and an initramfs holding busybox, the ARM C library, the board programs as
# the install puts them (with status_server, and boardsim with its preload library, as the recorder's
# package does), the stand-in libvexa.so in /lib, and the kernel case table with its runner. Sets up
# what a fresh machine lacks (as root: packages, the armhf architecture, the kernel and busybox from
# the archive), configures build-arm/ with the preset "arm" when it is not configured yet and builds
# there what the image carries. Prints the directory.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build-kernel
cache=$out/debs

scripts/setup.sh g++-arm-linux-gnueabihf qemu-user googletest qemu-system-arm device-tree-compiler cpio >&2

# The kernel and busybox come from the archive as it serves them today.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    apt-get update -qq >&2
fi
apt-cache show linux-image-armmp:armhf >/dev/null 2>&1 || apt-get update -qq >&2
kernel_pkg=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1)
[ -n "$kernel_pkg" ] || give_up 1 "board_image: the archive names no armhf kernel"
kernel_pkg=${kernel_pkg%:armhf}

# unpack PACKAGE DIR: the package's current version, downloaded once, unpacked into DIR.
unpack() {
    local version deb
    version=$(apt-cache show --no-all-versions "$1:armhf" | sed -n 's/^Version: //p' | head -n 1)
    deb=$cache/$1_${version//:/%3a}_armhf.deb
    if [ ! -f "$deb" ]; then
        mkdir -p "$cache"
        (cd "$cache" && apt-get download -o APT::Sandbox::User=root "$1:armhf=$version" >&2)
    fi
    if [ ! -f "$2/.from" ] || [ "$(cat "$2/.from")" != "$deb" ]; then
        rm -rf "$2"
        dpkg-deb -x "$deb" "$2"
        echo "$deb" >"$2/.from"
    fi
}
unpack "$kernel_pkg" "$out/kernel"
unpack busybox-static "$out/busybox"

# The ARM build, configured when it is not yet (an existing one keeps its own settings): only what
# the image carries.
targets=(test_type_spi test_type vexa_test watchdog api_query vexa boardsim boardsim_runner status_server board_ops
    man_pages package_files)
[[ -f build-arm/CMakeCache.txt ]] || cmake --preset arm >/dev/null
cmake --build --preset arm --target "${targets[@]}" >/dev/null

root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,etc,lib,usr/bin,usr/lib,proc,sys,dev,tmp,cases}
cp "$out/busybox/bin/busybox" "$root/bin/"
for lib in ld-linux-armhf.so.3 libc.so.6 libm.so.6 libdl.so.2; do
    cp -L "/usr/arm-linux-gnueabihf/lib/$lib" "$root/lib/"
done
DESTDIR=$root cmake --install build-arm --prefix /usr --strip >/dev/null
cp build-arm/lib/libvexa.so "$root/lib/"
cp build-arm/tests/board_ops "$root/usr/bin/"
cp "$(find "$out/kernel/lib/modules" -name softdog.ko | head -n 1)" "$root/lib/"
cp emulated_board/init "$root/init"
cp tests/kernel/cases tests/kernel/run_cases.sh "$root/cases/"
cp -r emulated_board/scenarios "$root/cases/"
chmod +x "$root/init" "$root/cases/run_cases.sh"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$out/initramfs.gz")

cp "$(find "$out/kernel/boot" -name 'vmlinuz-*' | head -n 1)" "$out/vmlinuz"
dtc -I dts -O dtb -o "$out/board.dtb" emulated_board/board.dts
echo "$out"
