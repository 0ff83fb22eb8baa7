#!/usr/bin/env bash
# Builds a release tarnwell, the ICD2 simulator and the benchmark runner, then
# programs and verifies a full-size image through the simulator, paced like a
# 57600-baud line and unpaced, once record by record and once with coalesced
# transfers; programs it paced with every answer held 16 ms as a USB serial
# adapter's latency timer holds it, both ways; programs a golden read-out of
# the example part coalesced; and prints the figures side by side. Extra
# arguments go to the
# runner (for example --repeat 2, or --strace for a per-call breakdown of the
# counting runs). A measurement, not a test: it fails only when a run itself
# fails, never on a time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# The system calls are counted with perf where the kernel lets it, else with
# strace, which is the one of the two that a plain Debian install lacks.
if ! command -v strace >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq strace
fi

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DTARNWELL_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target bench_runner
# The runner's working files (image, the two configurations, transcripts,
# memory dumps, output of each run) stay in build/bench/bench-work for a
# closer look.
build/bench/bench/bench_runner --work build/bench/bench-work "$@"
