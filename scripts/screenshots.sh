#!/usr/bin/env bash
# Remakes the README's pictures: the main window and the setup dialog talking to the simulator,
# drawn under Xvfb, at scale 1 and (for the high-DPI check) at scale 2, and the status page in
# headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh prometheus chromium fonts-liberation
cmake --preset ci >/dev/null
cmake --build build -j2 --target rv360-sim rv360-shots
out=$root/docs/screenshots
# A path that tells nothing of this machine, as the pictures show it.
link=/tmp/ttyRV360
coproc SIM { exec "$root/build/sim/rv360-sim" --link "$link" --switches 0x05,0x21; }
trap 'kill $SIM_PID 2>/dev/null || true' EXIT
read -r -t 10 _ <&"${SIM[0]}"
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x1024x24" "$root/build/tools/rv360-shots" "$link" "$out"
QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 1600x1200x24" \
    "$root/build/tools/rv360-shots" "$link" "$out" "-scale2"
# The status page as Chromium draws it, from the test that loads it in a real program.
kill $SIM_PID 2>/dev/null || true
cmake --build build -j2 --target rv360 rv360ctl
RV360_WEB_SHOT=$out/web.png python3 tests/e2e/web.py build/src/app/rv360 build/src/app/rv360ctl \
    build/sim/rv360-sim
echo "Pictures in $out"
