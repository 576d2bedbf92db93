#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the images and writes a bootable disk: a
# GPT with an EFI system partition holding each at its machine's
# removable-media path, which a UEFI firmware's own boot flow starts with
# nothing typed. With --boot-flow, writes the U-Boot boot flow's disk for one
# machine instead. With --boot, boots the disk on U-Boot under QEMU on this
# terminal.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: tools/disk.sh [--boot-flow] [--boot] [--arch x64|aa64|riscv64] [[--out] DISK] (--help for more)" >&2; exit 2; }
boot=no
boot_flow=no
arch=x64
disk=
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help)
      cat <<'USAGE'
usage: tools/disk.sh [--boot-flow] [--boot] [--arch x64|aa64|riscv64] [[--out] DISK]
Builds the images and writes a bootable disk image: a GPT with an EFI system
partition holding each at its machine's removable-media path
(\EFI\BOOT\BOOTX64.EFI, BOOTAA64.EFI, BOOTRISCV64.EFI). The same images
always give the same disk, byte for byte.
  DISK, --out DISK
              the disk file to write, relative to this folder (default:
              build/tamberlune-disk.img, with --boot-flow
              build/tamberlune-bootflow-disk.img, in the repository)
  --boot-flow write the U-Boot boot flow's disk for the --arch machine
              instead: boot.scr at the root, Tamberlune and BootOptions.efi in
              \EFI\Tamberlune, and at the removable-media path a stand-in for
              the board's normal loader (it prints "Tamberlune test payload:
              normal"); U-Boot's own boot flow then acts on the key pressed
  --boot      then boot the disk on U-Boot under QEMU on this terminal; press
              a key at the menu, leave QEMU with Ctrl-A X
  --arch      the machine: x64 (default), aa64 or riscv64
Exit status 0 when the disk was written (and booted), 1 on failure, 2 on bad
arguments.
example: tools/disk.sh /tmp/tamberlune.img && sudo dd if=/tmp/tamberlune.img of=/dev/sdX bs=4M conv=fsync
USAGE
      exit 0 ;;
    --boot) boot=yes; shift ;;
    --boot-flow) boot_flow=yes; shift ;;
    --out)
      { [ $# -ge 2 ] && [ -z "$disk" ]; } || usage
      disk=$2; shift 2 ;;
    --arch)
      case "${2:-}" in
        x64|aa64|riscv64) arch=$2; shift 2 ;;
        *) echo "disk: --arch takes x64, aa64 or riscv64, not '${2:-}'" >&2; exit 2 ;;
      esac ;;
    -*) echo "disk: unknown option '$1'" >&2; usage ;;
    *) [ -z "$disk" ] || usage; disk=$1; shift ;;
  esac
done
default=$repo/build/tamberlune-disk.img
[ "$boot_flow" = no ] || default=$repo/build/tamberlune-bootflow-disk.img
disk=${disk:-$default}
# Where the disk goes is checked before anything is built.
if [ -d "$disk" ]; then
  echo "disk: $disk is a folder; give the path of the disk file to write" >&2
  exit 1
fi
folder=$(dirname "$disk")
if [ "$disk" != "$default" ] && [ ! -d "$folder" ]; then
  echo "disk: no folder $folder to write $(basename "$disk") into" >&2
  exit 1
fi

"$repo/tools/build.sh"
if [ "$boot_flow" = yes ]; then
  case "$arch" in
    x64) suffix= ;;
    aa64) suffix=AA64 ;;
    riscv64) suffix=RISCV64 ;;
  esac
  python3 "$repo/tools/make_disk.py" --boot-flow "$repo/build/boot.scr" "$repo/build/Tamberlune$suffix.efi" \
    "$repo/build/BootOptions$suffix.efi" "$repo/build/payload/$arch/normal.efi" "$disk"
else
  python3 "$repo/tools/make_disk.py" "$repo/build/Tamberlune.efi" "$repo/build/TamberluneAA64.efi" \
    "$repo/build/TamberluneRISCV64.efi" "$disk"
fi
if [ "$boot" = yes ]; then
  network=()
  # The boot-flow disk gets a network to boot from when p is pressed.
  [ "$boot_flow" = no ] || network=(--tftp "$repo/build/payload/$arch/network.efi")
  exec python3 "$repo/tests/uboot.py" --disk "$disk" --arch "$arch" "${network[@]}"
fi
