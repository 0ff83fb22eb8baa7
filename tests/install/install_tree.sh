#!/usr/bin/env bash
# `cmake --install` into a staging root: the files land where the programs
# look for them, an existing configuration is kept, and the installed
# programs run from there.
#   install_tree.sh BUILD_DIR SOURCE_DIR DEFAULT_CONFIG
set -euo pipefail
build="$1" source="$2" default_config="$3"
. "$source/tests/install/installed_checks.sh"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
root="$(cd "$tmp" && pwd -P)/root"
prefix=/usr/local
DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >"$tmp/log"

bindir="$root$prefix/bin"
config="$root$prefix/etc/tarnwell.config"
for file in "$bindir/tarnwell" "$bindir/icd2sim" "$config" \
            "$root$prefix/share/man/man1/tarnwell.1.gz" "$root$prefix/share/man/man1/icd2sim.1.gz" \
            "$root$prefix/share/doc/tarnwell/examples/sim-device.conf"; do
    [ -e "$file" ] || fail "not installed: $file"
done
[ -n "$(find "$root$prefix/lib"* -name libicd2sim_preload.so)" ] || fail "preload library not installed"
cmp -s "$source/examples/tarnwell.config" "$config" || fail "$config is not the example configuration"
[ ! -e "$config.example" ] || fail "a first install left $config.example"

# A second install must leave the user's edited configuration alone.
echo "log/default = 1" >>"$config"
cp "$config" "$tmp/edited"
DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >"$tmp/log"
cmp -s "$tmp/edited" "$config" || fail "a second install replaced the edited $config"
cmp -s "$source/examples/tarnwell.config" "$config.example" || fail "no $config.example beside it"
grep -q "Keeping the existing" "$tmp/log" || fail "the second install did not say it kept $config"

# The installed manual page names the configuration this build reads.
gzip -dc "$root$prefix/share/man/man1/tarnwell.1.gz" | grep -qF "$default_config" \
    || fail "tarnwell.1 does not name $default_config"

check_usage "$bindir/tarnwell" "$default_config"
check_preload_found "$bindir/icd2sim" "$root"
check_completions "$root$prefix/share/bash-completion/completions"
check_simulated_run "$bindir" "$config" "$root$prefix/share/doc/tarnwell/examples"
