#!/usr/bin/env bash
# The manual pages are free of mandoc warnings, and document every option
# that the programs' own usage texts list.
#   lint_manuals.sh MAN_DIR TARNWELL ICD2SIM
set -euo pipefail
man="$1" tarnwell="$2" icd2sim="$3"
. "$(dirname "$0")/installed_checks.sh"

command -v mandoc >/dev/null || fail "mandoc is not installed (scripts/install-deps.sh installs it)"
for page in "$man/tarnwell.1" "$man/icd2sim.1"; do
    mandoc -Tlint -W warning "$page" || fail "mandoc warns about $page"
done

documents() {
    # Manual pages write the option's dashes as \-.
    grep -qF -- "$(printf '%s' "$2" | sed 's/-/\\-/g')" "$1"
}
options="$("$tarnwell" --help | grep -o '^	-[a-z]' | tr -d '\t' || true)"
[ -n "$options" ] || fail "no options found in the usage text of $tarnwell"
for option in $options; do
    documents "$man/tarnwell.1" "$option" || fail "tarnwell.1 does not document $option"
done
# icd2sim --version names the version the pages carry; --help prints the
# usage on standard output; both end with status 0.
version="$(sed -n 's/^\.TH .*"tarnwell \([^"]*\)".*/\1/p' "$man/icd2sim.1")"
said="$("$icd2sim" --version)" && [ "$said" = "icd2sim $version" ] || fail "icd2sim --version: '$said'"
options="$("$icd2sim" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)" || fail "icd2sim --help failed"
for option in $options; do
    documents "$man/icd2sim.1" "$option" || fail "icd2sim.1 does not document $option"
done
