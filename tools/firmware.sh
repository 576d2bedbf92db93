#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian's U-Boot firmware files (u-boot-qemu, an architecture-
# independent package) of a Debian release, with the ordinary apt client
# through a sources list, lists and archives of its own, and unpacks the
# package into a folder: nothing is installed and the machine's apt
# configuration is left alone. The tests boot every machine on each release's
# U-Boot this way.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$0")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command firmware

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/firmware.sh [--into DIR] RELEASE...
Fetches Debian's u-boot-qemu of each RELEASE (a Debian suite: bookworm holds
U-Boot 2023.01, trixie U-Boot 2025.01) from this machine's Debian mirror, with
apt and a sources list, package lists and archives of its own under DIR, and
unpacks it into DIR/RELEASE: the firmware files then lie under
DIR/RELEASE/usr/lib/u-boot/, as the installed package lays them out. A
release fetched before is not fetched again. Nothing is installed, and the
machine's apt configuration is not touched.
  --into DIR   where the releases go (default build/firmware in the repository)
Exit status 0 when every release is there, 1 on failure, 2 on bad arguments.
Example:
  tools/firmware.sh trixie && ls build/firmware/trixie/usr/lib/u-boot
USAGE
}

tamberlune_arguments "--into=" 8 "$@"
[ ${#TAMBERLUNE_OPERANDS[@]} -gt 0 ] || tamberlune_refuse "name a release: bookworm or trixie"
into=$(tamberlune_absolute "$(tamberlune_option --into "$repo/build/firmware")")
for release in "${TAMBERLUNE_OPERANDS[@]}"; do
  [[ "$release" =~ ^[a-z]+$ ]] || tamberlune_refuse "a release is a Debian suite such as trixie, not '$release'"
done
for tool in apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || tamberlune_fail "$tool is missing: this needs a Debian machine"
done
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -r "$keyring" ] || tamberlune_fail "no Debian archive keyring at $keyring: apt-get install debian-archive-keyring"

for release in "${TAMBERLUNE_OPERANDS[@]}"; do
  target=$into/$release
  [ ! -f "$target/version" ] || continue
  uri=$(tamberlune_debian_mirror "fetch $release's u-boot-qemu") || exit 1
  # Paths of this command's own, named leftovers before they are made.
  apt=$into/apt-$release
  tamberlune_leftover "$apt"
  mkdir -p "$apt/lists/partial" "$apt/archives/partial" ||
    tamberlune_fail "cannot write into $into"
  echo "deb [signed-by=$keyring] $uri $release main" >"$apt/sources.list"
  options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
           -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives"
           -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
  tamberlune_run apt-get "${options[@]}" -qq update ||
    tamberlune_fail "apt could not read $release's package list from $uri"
  (cd "$apt" && tamberlune_run apt-get "${options[@]}" -qq download "u-boot-qemu/$release") ||
    tamberlune_fail "apt could not fetch $release's u-boot-qemu from $uri"
  package=$(ls "$apt"/u-boot-qemu_*_all.deb)
  rm -rf "$target.partial"
  tamberlune_leftover "$target.partial"
  dpkg-deb -x "$package" "$target.partial"
  dpkg-deb -f "$package" Version >"$target.partial/version"
  mv "$target.partial" "$target"
  echo "firmware: $release's u-boot-qemu $(cat "$target/version") in $target"
done
exit
}
