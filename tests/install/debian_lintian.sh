#!/usr/bin/env bash
# lintian finds no error and no warning in the package that the package test
# built; exit status 77 (skipped) when lintian is not installed.
#   debian_lintian.sh PACKAGE_BUILD_DIR
set -euo pipefail
command -v lintian >/dev/null || { echo "lintian is not installed" >&2; exit 77; }
debs=("$1"/tarnwell_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no package in $1" >&2; exit 1; }
lintian --fail-on error,warning --display-info "${debs[0]}"
