#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install into a scratch prefix, then the Debian package: its control
# fields, lintian's verdict, its files unpacked into a scratch root, and the
# tool run from there.
#   package_test.sh BUILD-DIR VERSION
set -euo pipefail
build=${1:?usage: package_test.sh BUILD-DIR VERSION}
version=${2:?usage: package_test.sh BUILD-DIR VERSION}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in share/tamberlune/Tamberlune.efi share/tamberlune/TamberluneIA32.efi share/tamberlune/TamberluneARM.efi \
            share/tamberlune/BootOptions.efi share/tamberlune/BootOptionsARM.efi share/tamberlune/boot.scr \
            share/tamberlune/boot.cmd bin/tamberlune-inspect bin/tamberlune-sim \
            share/man/man1/tamberlune-inspect.1.gz share/man/man1/tamberlune-sim.1.gz \
            share/doc/tamberlune/README share/doc/tamberlune/copyright share/doc/tamberlune/changelog.gz \
            share/doc/tamberlune/changelog.Debian.gz; do
  [ -f "$work/prefix/$file" ] || fail "cmake --install left out $file"
done
cmp "$build/Tamberlune.efi" "$work/prefix/share/tamberlune/Tamberlune.efi" || fail "the installed image differs"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack -G DEB failed"
deb=$(ls "$work"/deb/*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = tamberlune ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version: $(dpkg-deb -f "$deb" Version)"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no maintainer field"
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6 (>= ' || fail "no versioned dependency on libstdc++6"
! dpkg-deb -f "$deb" Description | grep -q ';' || fail "the description holds a list separator"
# Debian's own checks: no error and no warning (informational tags may stay).
if command -v lintian >/dev/null; then
  said=$(lintian --allow-root --fail-on error,warning "$deb" 2>&1) || fail "lintian: $said"
else
  fail "lintian is missing: apt-get install --no-install-recommends lintian"
fi
dpkg-deb -x "$deb" "$work/root"
[ -f "$work/root/usr/share/tamberlune/Tamberlune.efi" ] || fail "the package holds no image"
said=$("$work/root/usr/bin/tamberlune-inspect" --version)
[ "$said" = "tamberlune-inspect $version" ] || fail "tamberlune-inspect --version said: $said"
"$work/root/usr/bin/tamberlune-inspect" "$work/root/usr/share/tamberlune/Tamberlune.efi" >/dev/null ||
  fail "the packaged tool does not read the packaged image"
# The packaged README names the commands the package holds, none of the source tree's.
! grep -n 'tools/' "$work/root/usr/share/doc/tamberlune/README" || fail "the packaged README points into the source tree"
zcat "$work/root/usr/share/man/man1/tamberlune-sim.1.gz" | grep -qF -- '\-\-key K' || fail "the manual page lacks --key"
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version), $(stat -c %s "$deb") bytes; installs and runs"
