#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ (warnings are errors) and runs every test.
# With --all (as CI runs it) it also runs every test built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), and the fuzz target for a bounded time (build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
all=false
[ "${1:-}" = "--all" ] && all=true

# libtango-dev so that rv360-tango is built and tested with the rest.
# ser2net for the network tests; pyvisa-py and PyMeasure as the instrument port's lab clients and
# PyTango as rv360-tango's; Prometheus (with promtool) and Chromium (with a font for its pictures)
# as the status page's.
clients=(ser2net python3-pyvisa-py python3-pymeasure python3-tango prometheus chromium
    fonts-liberation)
if $all; then
    scripts/deps.sh clang-14 libclang-rt-14-dev libtango-dev "${clients[@]}"
else
    scripts/deps.sh libtango-dev "${clients[@]}"
fi
export QT_QPA_PLATFORM=offscreen

cmake --preset ci
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

if $all; then
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer build =="
    cmake --preset asan
    cmake --build build-asan -j2
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j2
    echo "== Fuzz target, bounded =="
    fuzz/run.sh 15
fi
