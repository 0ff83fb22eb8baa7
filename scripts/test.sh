#!/usr/bin/env bash
# Checks the format of every source, builds tarnwell and runs every test
# twice: once as it ships, once under AddressSanitizer and
# UndefinedBehaviorSanitizer with errors fatal; then runs each fuzz target
# for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "== format"
bash scripts/format.sh --check

jobs=$(nproc)
for variant in plain sanitize; do
    dir="build/$variant"
    options=()
    if [ "$variant" = sanitize ]; then
        options+=(-DTARNWELL_SANITIZE=ON)
    fi
    echo "== $variant build"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    # Most end-to-end time is spent waiting on the serial line, so run more
    # tests than there are cores.
    ctest --test-dir "$dir" --output-on-failure -j $((jobs * 2))
done
# Keep the fuzz targets alive: a bounded run of each, failing on any crash.
echo "== fuzzing"
bash scripts/fuzz.sh 40
echo "== all tests passed in both builds, fuzzing found nothing"
