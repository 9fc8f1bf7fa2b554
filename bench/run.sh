#!/usr/bin/env bash
# Builds rv360-bench with rv360, rv360-sim and the floors (and rv360-tango with the benchmark's Tango
# client when libtango-dev is installed), then prints the performance figures.
# Arguments go to rv360-bench (--quick, --flood-seconds N, --only 1,10, --display :71).
# RV360_BENCH_BUILD=dir builds elsewhere. Installs what the figures need when missing: valgrind
# (instruction counts), xvfb (the real window), python3-serial (the pyserial floor) and chromium
# (a browser watching the status page).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh valgrind python3-serial chromium
build=${RV360_BENCH_BUILD:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = build ]; then
        cmake --preset ci >/dev/null
    else
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRV360_WERROR=ON >/dev/null
    fi
fi
cmake --build "$build" -j2 --target rv360-bench rv360 rv360-sim rv360-bench-raw rv360-bench-bareqt
echo "nproc $(nproc); uptime:$(uptime); kernel $(uname -r)"
exec "$build/bench/rv360-bench" "$@"
