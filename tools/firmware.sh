#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian's U-Boot firmware files of a Debian release (u-boot-qemu,
# an architecture-independent package, and the board builds of the machine
# table's boards, armhf or arm64 packages whatever this machine is, with the
# device trees they need from Debian's kernel), with the ordinary apt client
# through a sources list, lists and archives of its own, and unpacks the
# packages into a folder: nothing is installed and the machine's apt
# configuration is left alone. The tests boot every machine and board on each
# release's U-Boot this way.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command firmware

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/firmware.sh [--into DIR] RELEASE...
Fetches Debian's u-boot-qemu of each RELEASE (a Debian suite: bookworm holds
U-Boot 2023.01, trixie U-Boot 2025.01) and its board builds of U-Boot for
the boards Tamberlune is tested on (u-boot-sunxi, u-boot-rpi) from this
machine's Debian mirror, with apt and a sources list, package lists and
archives of its own under DIR, and unpacks them into DIR/RELEASE: the
firmware files then lie under DIR/RELEASE/usr/lib/u-boot/, as the installed
packages lay them out, and a board's device tree in DIR/RELEASE/dtb. A
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
  mapfile -t boards < <(tamberlune_machines board-packages "$release")
  mapfile -t dtbs < <(tamberlune_machines board-dtbs "$release")
  # Fetched before, with the same boards: not again.
  wanted=$(printf '%s\n' u-boot-qemu "${boards[@]}" "${dtbs[@]}")
  [ ! -f "$target/version" ] || [ "$(cat "$target/packages" 2>/dev/null)" != "$wanted" ] || continue
  uri=$(tamberlune_debian_mirror "fetch $release's u-boot-qemu") || exit 1
  # Paths of this command's own, named leftovers before they are made.
  apt=$into/apt-$release
  tamberlune_leftover "$apt"
  mkdir -p "$apt/lists/partial" "$apt/archives/partial" ||
    tamberlune_fail "cannot write into $into"
  # The boards' packages are armhf or arm64 ones, whatever this machine is;
  # u-boot-qemu is in every architecture's list.
  architectures=$(printf '%s\n' "${boards[@]}" | sed -n 's/.*://p' | sort -u | paste -sd, -)
  echo "deb [${architectures:+arch=$architectures }signed-by=$keyring] $uri $release main" >"$apt/sources.list"
  options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
           -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives"
           -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root
           -o Dir::State::status=/dev/null)
  [ -z "$architectures" ] || options+=(-o "APT::Architecture=${architectures%%,*}")
  for architecture in ${architectures//,/ }; do
    options+=(-o "APT::Architectures::=$architecture")
  done
  tamberlune_run apt-get "${options[@]}" -qq update ||
    tamberlune_fail "apt could not read $release's package list from $uri"
  # A kernel metapackage names the kernel that carries the device trees.
  kernels=()
  for dtb in "${dtbs[@]}"; do
    kernel=$(apt-cache "${options[@]}" depends "${dtb%% *}" 2>/dev/null |
             sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1)
    [ -n "$kernel" ] || tamberlune_fail "apt names no kernel behind ${dtb%% *} in $release"
    kernels+=("$kernel/$release")
  done
  packages=("u-boot-qemu/$release" "${boards[@]/%//$release}" "${kernels[@]}")
  (cd "$apt" && rm -f ./*.deb && tamberlune_run apt-get "${options[@]}" -qq download "${packages[@]}") ||
    tamberlune_fail "apt could not fetch $release's ${packages[*]%%/*} from $uri"
  rm -rf "$target.partial"
  tamberlune_leftover "$target.partial"
  mkdir -p "$target.partial/dtb"
  for package in "$apt"/u-boot-*.deb; do
    dpkg-deb -x "$package" "$target.partial"
  done
  # Of a kernel, the device trees alone.
  for dtb in "${dtbs[@]}"; do
    name=${dtb#* }
    for package in "$apt"/linux-image-*.deb; do
      dpkg-deb --fsys-tarfile "$package" | tar -x -O --wildcards "*/$name" >"$target.partial/dtb/$name"
    done
    [ -s "$target.partial/dtb/$name" ] || tamberlune_fail "no $name in $release's kernel"
  done
  package=$(ls "$apt"/u-boot-qemu_*_all.deb)
  dpkg-deb -f "$package" Version >"$target.partial/version"
  printf '%s\n' "$wanted" >"$target.partial/packages"
  rm -rf "$target"
  mv "$target.partial" "$target"
  echo "firmware: $release's U-Boot $(cat "$target/version") (u-boot-qemu${boards[*]:+ and }${boards[*]%%:*}) in $target"
done
exit
}
