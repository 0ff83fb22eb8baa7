#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for the
# given number of seconds (default 30), two at a time. Each run starts from a
# copy of the committed seed corpus and the saved regression inputs, so the
# committed corpus never grows by itself. Fails when any target finds a
# crash, a leak, a timeout or runs out of memory, and says where the input is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "Usage: scripts/fuzz.sh [seconds]" >&2
    exit 2
fi
scripts/install-deps.sh fuzz

targets=(hex config icd2)
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWELL_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

run_target() {
    local target=$1
    local dir="$build/run/$target"
    rm -rf "$dir"
    mkdir -p "$dir/artifacts"
    cp -r "tests/fuzz/corpus/$target" "$dir/corpus"
    local seeds=("$dir/corpus")
    [ -d "tests/fuzz/regressions/$target" ] && seeds+=("tests/fuzz/regressions/$target")
    "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -dict="tests/fuzz/$target.dict" -artifact_prefix="$dir/artifacts/" -print_final_stats=1 \
        "${seeds[@]}" >"$dir/fuzz.log" 2>&1
}

echo "== fuzzing ${targets[*]} for ${seconds}s each, two at a time"
declare -A pid_of status_of
finish() {
    local target=$1
    local rc=0
    wait "${pid_of[$target]}" || rc=$?
    status_of[$target]=$rc
}
started=()
for target in "${targets[@]}"; do
    if [ ${#started[@]} -ge 2 ]; then
        finish "${started[0]}"
        started=("${started[@]:1}")
    fi
    run_target "$target" &
    pid_of[$target]=$!
    started+=("$target")
done
for target in "${started[@]}"; do
    finish "$target"
done

failed=0
for target in "${targets[@]}"; do
    dir="$build/run/$target"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log" | tail -n 1)
    rc=${status_of[$target]}
    artifacts=$(find "$dir/artifacts" -type f | sort)
    if [ "$rc" -ne 0 ] || [ -n "$artifacts" ]; then
        failed=1
        echo "FAILED fuzz_$target (exit $rc, ${runs:-?} runs); log: $dir/fuzz.log"
        for input in $artifacts; do
            echo "  failing input: $input"
        done
        grep -m 5 -E 'ERROR|fuzz check failed|runtime error' "$dir/fuzz.log" | sed 's/^/  /' || true
    else
        echo "ok fuzz_$target: ${runs:-?} runs in ${seconds}s, no crash"
    fi
done
exit $failed
