#!/usr/bin/env bash
# Usage: scripts/gtkwave_screenshot.sh [PNG]
#
# The picture of GTKWave that boardsim/README.md shows: builds build/ (scripts/build.sh), runs the
# probe on chain2_k6.scn with --vcd, opens the save file that the runner writes beside the waveform
# in GTKWave on a virtual display (Xvfb), and takes a picture of the whole screen to PNG (default
# boardsim/gtkwave.png). Installs what is missing (xvfb, gtkwave, imagemagick) through
# scripts/setup.sh, as root.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_options "$@"
(($# <= 1)) || bad_use "takes at most one file name"
cd "$(dirname "$0")/.."
picture=$(realpath -m "${1:-boardsim/gtkwave.png}")
scripts/setup.sh xvfb imagemagick >/dev/null
scripts/build.sh >/dev/null
temp_dir work

build/bin/boardsim --scenario boardsim/scenarios/chain2_k6.scn --vcd "$work/probe.vcd" \
    -- build/bin/test_type_spi >/dev/null 2>&1 || give_up 1 "the probe failed on the simulated board"
[[ -f $work/probe.gtkw ]] || give_up 1 "the runner wrote no save file beside the waveform"

number=$((90 + RANDOM % 9))
display=:$number
start_server xvfb "$work/xvfb.log" 0 Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp || true
for ((tries = 100; tries > 0; tries--)); do
    [[ -S /tmp/.X11-unix/X$number ]] && break
    sleep 0.1
done
((tries > 0)) || give_up 1 "the virtual display did not start: $(cat "$work/xvfb.log")"
export DISPLAY=$display
# The viewer draws its window in its own time; what is shown is what it drew after these seconds.
(cd "$work" && exec gtkwave probe.gtkw >"$work/gtkwave.log" 2>&1) &
viewer=$!
on_exit "kill $viewer 2>/dev/null"
sleep 6
import -display "$display" -window root -crop 1010x656+0+0 +repage "$picture" || give_up 1 "no picture of the display: $(cat "$work/gtkwave.log")"
echo "$picture"
