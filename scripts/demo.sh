#!/usr/bin/env bash
# Builds tarnwell and the ICD2 simulator, then programs the example image
# into the simulated part and verifies it again with -v.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)" --target tarnwell icd2sim icd2sim_preload

echo "== tarnwell -c examples/tarnwell.config -t <simulated ICD2> examples/example.hex"
echo "== then the same with -v"
# The simulator creates the pseudo-terminal and puts its path where "@"
# stands; both runs talk to the same simulated part, and each appends its
# line to the run report.
rm -f build/demo-report.jsonl
build/plain/sim/icd2sim \
    --device examples/sim-device.conf \
    --dump build/demo-memory.hex \
    --transcript build/demo-transcript.txt \
    -- /bin/sh -c '
        "$0" -c examples/tarnwell.config -t "$1" -o build/demo-report.jsonl examples/example.hex
        status=$?
        echo "== exit status $status"
        [ $status -eq 0 ] || exit $status
        "$0" -c examples/tarnwell.config -t "$1" -o build/demo-report.jsonl -v examples/example.hex
        status=$?
        echo "== exit status $status"
        exit $status' build/plain/tarnwell @
echo "== the simulated part now holds build/demo-memory.hex; its transcript is build/demo-transcript.txt"
echo "== the run report, one JSON line per run, is build/demo-report.jsonl"
