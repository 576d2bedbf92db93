#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the image and writes a bootable disk: a GPT
# with an EFI system partition holding it as \EFI\BOOT\BOOTX64.EFI, which a
# UEFI firmware's own boot flow starts with nothing typed. With --boot, boots
# the disk on U-Boot under QEMU on this terminal.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: tools/disk.sh [--boot] [DISK] (--help for more)" >&2; exit 2; }
boot=no
disk=
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help)
      cat <<'USAGE'
usage: tools/disk.sh [--boot] [DISK]
Builds Tamberlune.efi and writes a bootable disk image: a GPT with an EFI
system partition holding it as \EFI\BOOT\BOOTX64.EFI. The same image always
gives the same disk, byte for byte.
  DISK    the disk file to write, relative to this folder
          (default: build/tamberlune-disk.img in the repository)
  --boot  then boot the disk on U-Boot under QEMU on this terminal; press a
          key at the menu, leave QEMU with Ctrl-A X
Exit status 0 when the disk was written (and booted), 1 on failure, 2 on bad
arguments.
example: tools/disk.sh /tmp/tamberlune.img && sudo dd if=/tmp/tamberlune.img of=/dev/sdX bs=4M conv=fsync
USAGE
      exit 0 ;;
    --boot) boot=yes; shift ;;
    -*) echo "disk: unknown option '$1'" >&2; usage ;;
    *) [ -z "$disk" ] || usage; disk=$1; shift ;;
  esac
done
disk=${disk:-$repo/build/tamberlune-disk.img}
# Where the disk goes is checked before anything is built.
if [ -d "$disk" ]; then
  echo "disk: $disk is a folder; give the path of the disk file to write" >&2
  exit 1
fi
folder=$(dirname "$disk")
if [ "$disk" != "$repo/build/tamberlune-disk.img" ] && [ ! -d "$folder" ]; then
  echo "disk: no folder $folder to write $(basename "$disk") into" >&2
  exit 1
fi

"$repo/tools/build.sh"
python3 "$repo/tools/make_disk.py" "$repo/build/Tamberlune.efi" "$disk"
if [ "$boot" = yes ]; then
  exec python3 "$repo/tests/uboot.py" --disk "$disk"
fi
