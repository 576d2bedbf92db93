#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tamberlune need,
# when any of them is missing. Safe to run again: it installs nothing twice.
# Recommended packages stay out: qemu-system-x86 recommends another UEFI
# firmware, and the image is run on U-Boot's (u-boot-qemu) alone.
set -euo pipefail

packages=(clang libclang-rt-dev lld llvm cmake make googletest libgtest-dev python3 git
          qemu-system-x86 u-boot-qemu mtools dosfstools
          libbenchmark-dev libfmt-dev libstb-dev valgrind sbsigntool openssl)

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
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: missing ${missing[*]}; run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
