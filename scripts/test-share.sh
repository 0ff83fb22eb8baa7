#!/usr/bin/env bash
# The share of the tests in the project's lines: non-blank lines under tests/
# (without the fuzz corpora, saved regressions, dictionaries and the fault
# catalogue, which are data) against the non-blank lines of everything else
# that is code (without the documentation, the manual pages, the licence and
# the examples). The goal is at most 35 %.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { if [ $# -eq 0 ]; then echo 0; else cat -- "$@" | grep -cv '^[[:space:]]*$' || true; fi; }
mapfile -t tests < <(git ls-files --cached --others --exclude-standard tests |
    grep -v -e '/corpus/' -e '/regressions/' -e '\.dict$' -e '^tests/faults.txt$')
mapfile -t rest < <(git ls-files --cached --others --exclude-standard | grep -v '^tests/' |
    grep -v -e '\.md$' -e '^man/' -e '^LICENSE$' -e '^examples/')
t=$(count "${tests[@]}")
r=$(count "${rest[@]}")
awk -v t="$t" -v r="$r" 'BEGIN { printf "tests %d, rest %d: %.2f %%\n", t, r, 100 * t / r }'
