#!/usr/bin/env bash
# Formats every C++ source of the project with the repository's
# .clang-format; with --check, changes nothing and fails on any deviation.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(find driver hex icd2 config log strutil sim tests bench \
    \( -name '*.cpp' -o -name '*.h' \) -not -path '*/corpus/*' | sort)
if [ "${1:-}" = --check ]; then
    clang-format --dry-run --Werror "${sources[@]}"
else
    clang-format -i "${sources[@]}"
fi
