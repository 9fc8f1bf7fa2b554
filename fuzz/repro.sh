#!/usr/bin/env bash
# Runs one fuzz target once on the given inputs (a crash file from fuzz/run.sh, say) and shows
# the sanitizer report or failed check with its stack. Builds (or updates) the target first.
# Usage: fuzz/repro.sh TARGET FILE...
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
    echo "usage: fuzz/repro.sh TARGET FILE...  (TARGET: fuzz_text)" >&2
    exit 2
fi
target=$1
shift
build=$PWD/build-fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DRV360_FUZZ=ON -DRV360_BUILD_TESTS=OFF \
        -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target "$target" >/dev/null
exec "$build/fuzz/$target" "$@"
