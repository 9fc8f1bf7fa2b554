#!/usr/bin/env bash
# Builds the libFuzzer target (clang, AddressSanitizer, UndefinedBehaviorSanitizer) in
# build-fuzz and runs it for SECONDS (default 300) on a copy of its seed corpus.
# Prints one line; exits non-zero when the target crashes or fails a check.
# Usage: fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-300}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: fuzz/run.sh [SECONDS]" >&2
    exit 2
fi
target=fuzz_text
build=$root/build-fuzz

mkdir -p "$build"
log=$build/build.log
if ! { cmake -S . -B "$build" -DRV360_FUZZ=ON -DRV360_BUILD_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build" -j2 --target "$target"; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz build failed (full log: $log)" >&2
    exit 1
fi

# A fresh copy of the seed corpus per run: what the fuzzer adds stays out of the repository.
work=$build/work
rm -rf "$work"
run_one() {
    local target=$1 dir=$work/$1
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp "$root/fuzz/corpus/$target/"* "$dir/corpus/"
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1
}

status=0
report() {
    local target=$1 rc=$2 dir=$work/$1 done_line
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/log" | tail -n 1 || true)
    if [ "$rc" -eq 0 ] && [ -n "$done_line" ]; then
        # "#N DONE cov: C ft: F corp: K/Bb ..." -> N runs, coverage C, features F, corpus K.
        read -r runs _ _ cov _ ft _ corp _ <<<"$done_line"
        printf '%-20s ok     %10s runs  cov %-5s ft %-6s corpus %s\n' \
            "$target" "${runs#\#}" "$cov" "$ft" "${corp%%/*}"
    else
        status=1
        printf '%-20s FAILED (exit %s) log: %s\n' "$target" "$rc" "$dir/log"
        grep -E 'ERROR:|check failed|error message|SUMMARY|Test unit written|^    #[0-9]' \
            "$dir/log" | head -n 40 | sed 's/^/    /'
    fi
}

rc=0
run_one "$target" || rc=$?
report "$target" "$rc"
exit "$status"
