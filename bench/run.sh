#!/usr/bin/env bash
# Builds rv360-bench, rv360 and rv360-sim, then prints the performance figures. Arguments go to
# rv360-bench (--quick, --flood-seconds N, --only 1,7). RV360_BENCH_BUILD=dir builds elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${RV360_BENCH_BUILD:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = build ]; then
        cmake --preset ci >/dev/null
    else
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRV360_WERROR=ON >/dev/null
    fi
fi
cmake --build "$build" -j2 --target rv360-bench rv360 rv360-sim
exec "$build/bench/rv360-bench" "$@"
