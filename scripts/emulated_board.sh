#!/usr/bin/env bash
# Boots the emulated board under qemu-system-arm with its console on this terminal: a shell with the
# board programs on the PATH. It first makes the board (scripts/board_image.sh) unless --ready says
# that build-kernel/ holds it already. Other words go to the kernel command line ("board.cases" runs
# the kernel case table instead of the shell). Ctrl-A X leaves QEMU.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$PWD/build-kernel
if [ "${1:-}" = --ready ]; then
    shift
else
    scripts/board_image.sh >/dev/null
fi
exec qemu-system-arm -M virt -cpu cortex-a15 -m 256 -nographic -no-reboot -nic none \
    -kernel "$dir/vmlinuz" -initrd "$dir/initramfs.gz" -dtb "$dir/board.dtb" \
    -append "console=ttyAMA0 quiet panic=-1 $*"
