#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install into a scratch prefix, then the Debian package: its control
# fields, lintian's verdict, its files unpacked into a scratch root, and the
# tool run from there.
#   package_test.sh BUILD-DIR VERSION PYTHON
set -euo pipefail
build=${1:?usage: package_test.sh BUILD-DIR VERSION PYTHON}
version=${2:?usage: package_test.sh BUILD-DIR VERSION PYTHON}
python=${3:?usage: package_test.sh BUILD-DIR VERSION PYTHON}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in share/tamberlune/Tamberlune.efi share/tamberlune/TamberluneIA32.efi share/tamberlune/TamberluneARM.efi \
            share/tamberlune/BootOptions.efi share/tamberlune/BootOptionsARM.efi share/tamberlune/boot.scr \
            share/tamberlune/boot.cmd bin/tamberlune-inspect bin/tamberlune-sim bin/tamberlune-disk bin/tamberlune-sign \
            share/man/man1/tamberlune-inspect.1.gz share/man/man1/tamberlune-sim.1.gz \
            share/man/man1/tamberlune-disk.1.gz share/man/man1/tamberlune-sign.1.gz \
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
for needed in python3 python3-pefile mtools sbsigntool openssl; do
  dpkg-deb -f "$deb" Depends | grep -qw "$needed" || fail "no dependency on $needed, which the commands run"
done
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
# A board brought up from the package alone: a disk from the installed images,
# the same bytes as the build's, and an installed image signed into a file.
root=$work/root/usr
# The commands are the checkout's own files, found the same way from where they lie.
for command in disk sign; do
  cmp -s "$(dirname "$0")/../tools/$command.sh" "$(readlink -f "$root/bin/tamberlune-$command")" ||
    fail "tamberlune-$command is not tools/$command.sh"
done
"$root/bin/tamberlune-disk" "$work/disk.img" >/dev/null || fail "tamberlune-disk wrote no disk"
lib=$(dirname "$0")/../lib
mapfile -t images < <("$python" "$lib/machines.py" images "$build")
"$python" "$lib/make_disk.py" "${images[@]}" "$work/built.img" >/dev/null
cmp -s "$work/disk.img" "$work/built.img" || fail "tamberlune-disk's disk differs from the build's"
"$root/bin/tamberlune-disk" /dev/zero 2>"$work/said" && fail "tamberlune-disk wrote into /dev/zero"
grep -q '^tamberlune-disk: /dev/zero is a character device, never written: write a disk file, then copy it: tamberlune-disk ' \
  "$work/said" || fail "tamberlune-disk on a device said: $(cat "$work/said")"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=package-test/ -keyout "$work/db.key" -out "$work/db.crt" \
  2>/dev/null
"$root/bin/tamberlune-sign" "$work/db.key" "$work/db.crt" "$root/share/tamberlune/$(basename "${images[-1]}")" \
  "$work/signed.efi" >/dev/null || fail "tamberlune-sign signed nothing"
sbverify --cert "$work/db.crt" "$work/signed.efi" >/dev/null 2>&1 || fail "tamberlune-sign's image does not verify"
[ "$("$root/bin/tamberlune-sign" --version)" = "tamberlune-sign $version" ] || fail "tamberlune-sign --version"
# The packaged README names the commands the package holds, none of the source tree's.
! grep -n 'tools/' "$work/root/usr/share/doc/tamberlune/README" || fail "the packaged README points into the source tree"
# Each manual page says what its command's --help says, as help2man writes it.
zcat "$root/share/man/man1/tamberlune-sim.1.gz" | grep -qF -- '\fB\-\-key\fR K' || fail "the manual page lacks --key"
zcat "$root/share/man/man1/tamberlune-disk.1.gz" | grep -qxF -- '.B tamberlune-disk' ||
  fail "tamberlune-disk's manual page lacks its synopsis"
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version), $(stat -c %s "$deb") bytes; installs and runs"
