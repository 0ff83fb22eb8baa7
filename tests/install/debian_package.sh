#!/usr/bin/env bash
# Builds the Debian package, checks its metadata, unpacks it into a scratch
# root and runs the programs from there; last, lintian must find no error and
# no warning in it (exit status 77, skipped, when lintian is not installed).
#   debian_package.sh SOURCE_DIR PACKAGE_BUILD_DIR
set -euo pipefail
source="$1" build="$2"
. "$source/tests/install/installed_checks.sh"

deb="$(bash "$source/scripts/package.sh" "$build" | tail -n 1)"
[ -f "$deb" ] || fail "package.sh named no package: '$deb'"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
root="$(cd "$tmp" && pwd -P)/root"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarnwell ] || fail "package name '$(field Package)'"
[ "$(field Section)" = electronics ] || fail "section '$(field Section)'"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no maintainer or no description"
case "$(field Depends)" in
    *libc6*libstdc++6*|*libstdc++6*libc6*) ;;
    *) fail "depends '$(field Depends)' lacks libc6 or libstdc++6" ;;
esac

dpkg-deb -e "$deb" "$tmp/control"
grep -qx /etc/tarnwell.config "$tmp/control/conffiles" || fail "/etc/tarnwell.config is not a conffile"
dpkg-deb -c "$deb" | grep -q '\./usr/local/' && fail "the package installs under /usr/local"

dpkg-deb -x "$deb" "$root"
for file in "$root/usr/bin/tarnwell" "$root/usr/bin/icd2sim" "$root/etc/tarnwell.config" \
            "$root/usr/share/man/man1/tarnwell.1.gz" "$root/usr/share/man/man1/icd2sim.1.gz" \
            "$root/usr/share/doc/tarnwell/copyright" "$root/usr/share/doc/tarnwell/changelog.Debian.gz"; do
    [ -e "$file" ] || fail "not in the package: $file"
done
gzip -dc "$root/usr/share/man/man1/tarnwell.1.gz" | grep -qF /etc/tarnwell.config \
    || fail "the packaged tarnwell.1 does not name /etc/tarnwell.config"

check_usage "$root/usr/bin/tarnwell" /etc/tarnwell.config
check_preload_found "$root/usr/bin/icd2sim" "$root"
check_completions "$root/usr/share/bash-completion/completions"
check_simulated_run "$root/usr/bin" "$root/etc/tarnwell.config" "$root/usr/share/doc/tarnwell/examples"
command -v lintian >/dev/null || { echo "lintian is not installed" >&2; exit 77; }
lintian --fail-on error,warning --display-info "$deb"
