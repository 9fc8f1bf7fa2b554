#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for SECONDS (default 300) on a copy of its seed corpus, two at a time.
# Prints one line per target; exits non-zero when any target crashes or fails a check.
# Usage: fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-300}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: fuzz/run.sh [SECONDS]" >&2
    exit 2
fi
targets=(fuzz_text)
build=$root/build-fuzz
jobs=2

mkdir -p "$build"
log=$build/build.log
if ! { cmake -S . -B "$build" -DRV360_FUZZ=ON -DRV360_BUILD_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build" -j2 --target "${targets[@]}"; } >"$log" 2>&1; then
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

for ((i = 0; i < ${#targets[@]}; i += jobs)); do
    batch=("${targets[@]:i:jobs}")
    pids=()
    for target in "${batch[@]}"; do
        run_one "$target" &
        pids+=($!)
    done
    for k in "${!batch[@]}"; do
        rc=0
        wait "${pids[k]}" || rc=$?
        report "${batch[k]}" "$rc"
    done
done
exit "$status"
