#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building and testing Tamberlune need,
# when any of them is missing. Safe to run again: it installs nothing twice.
# Recommended packages stay out: the QEMU packages recommend other UEFI
# firmware, and the images run on U-Boot's (u-boot-qemu) alone.
set -euo pipefail

case "${1:-}" in
  "") ;;
  -h|--help)
    cat <<'USAGE'
usage: tools/install-deps.sh
Installs the Debian packages that building and testing Tamberlune need, if any
is missing. As root it runs apt-get itself; any other user is told the exact
sudo line to run. Exit status: 0 when everything is installed, 1 otherwise.
example: tools/install-deps.sh
USAGE
    exit 0 ;;
  *) echo "usage: tools/install-deps.sh (no arguments; --help for more)" >&2; exit 2 ;;
esac

packages=(clang libclang-rt-dev lld llvm cmake make googletest libgtest-dev python3 git
          qemu-system-x86 qemu-system-arm qemu-system-misc u-boot-qemu u-boot-tools mtools
          libbenchmark-dev libfmt-dev libstb-dev valgrind sbsigntool efitools openssl dpkg-dev lintian g++-multilib)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null; then
  echo "install-deps: missing ${missing[*]}, and this is no Debian machine (no apt-get); install them by hand" >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; install them with:" >&2
  echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
