#!/usr/bin/env bash
# Usage: scripts/emulated_board.sh [--ready] [KERNEL_WORD...]
#
# Boots the emulated board under qemu-system-arm with its console on this terminal: a shell with the
# board programs on the PATH. It first makes the board (scripts/board_image.sh, which sets up what a
# fresh machine lacks) unless --ready says that build-kernel/ holds it already. KERNEL_WORDs go to
# the kernel command line ("board.cases" runs the kernel case table instead of the shell).
# Ctrl-A X leaves QEMU; so does "poweroff -f" in the board's shell.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
help_option "$@"
ready=
if [[ ${1:-} == --ready ]]; then
    ready=1
    shift
fi
no_options "$@"
cd "$(dirname "$0")/.."
dir=$PWD/build-kernel
[[ -n $ready ]] || scripts/board_image.sh >/dev/null
exec qemu-system-arm -M virt -cpu cortex-a15 -m 256 -nographic -no-reboot -nic none \
    -kernel "$dir/vmlinuz" -initrd "$dir/initramfs.gz" -dtb "$dir/board.dtb" \
    -append "console=ttyAMA0 quiet panic=-1 $*"
