#!/usr/bin/env bash
# Builds the Debian package: a release build for the prefix /usr that reads
# /etc/tarnwell.config by default, packed by CPack. Prints the path of the
# .deb on standard output; what the build says goes to standard error.
#
#   scripts/package.sh [build directory [cmake options...]]   (default: build/deb)
#
# Options after the build directory go to cmake, for example
# -DTARNWELL_MAINTAINER="Name <address>"; the build directory keeps them.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$source_dir/build/deb}"
shift || true

cmake -S "$source_dir" -B "$build_dir" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARNWELL_DEFAULT_CONFIG=/etc/tarnwell.config \
    -DTARNWELL_BUILD_TESTS=OFF \
    -DTARNWELL_SANITIZE=OFF "$@" >&2
cmake --build "$build_dir" -j "$(nproc)" >&2
# Leftovers of an earlier version must not be mistaken for this one.
rm -f "$build_dir"/tarnwell_*.deb
(cd "$build_dir" && cpack -G DEB >&2)

deb=("$build_dir"/tarnwell_*.deb)
if [ ! -f "${deb[0]}" ]; then
    echo "package.sh: cpack made no package in $build_dir" >&2
    exit 1
fi
echo "${deb[0]}"
