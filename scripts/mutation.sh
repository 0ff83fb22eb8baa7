#!/usr/bin/env bash
# Mutation testing: plants faults into the sources one at a time and reports
# which ones the test suite misses. Options and details: scripts/mutation.py.
#   scripts/mutation.sh --seed 1 --count 60 [--build-dir DIR] [--timeout S] [--jobs N] [--list]
exec python3 "$(dirname "$0")/mutation.py" "$@"
