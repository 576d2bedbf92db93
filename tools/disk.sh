#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the images and writes a bootable disk: a
# GPT with an EFI system partition holding each at its machine's
# removable-media path, which a UEFI firmware's own boot flow starts with
# nothing typed. With --boot-flow, writes the U-Boot boot flow's disk for one
# machine instead. With --boot, boots the disk on U-Boot under QEMU.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/tools/arguments.sh"

usage() { echo "usage: tools/disk.sh [--boot-flow] [--boot [--key KEY]] [--arch ARCH] [[--out] DISK] (--help for more)" >&2; exit 2; }
boot=no
boot_flow=no
arch=
key=
disk=
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help)
      cat <<'USAGE'
usage: tools/disk.sh [--boot-flow] [--boot [--key KEY]] [--arch ARCH] [[--out] DISK]
Builds the images and writes a bootable disk image: a GPT with an EFI system
partition holding each at its machine's removable-media path
(\EFI\BOOT\BOOTX64.EFI, BOOTAA64.EFI, BOOTRISCV64.EFI, BOOTIA32.EFI,
BOOTARM.EFI). The same images always give the same disk, byte for byte.
  DISK, --out DISK
              the disk file to write, relative to this folder: a new path or
              a regular file (through a symbolic link, the file it names);
              never a device: write the file, then copy it to a stick with dd
              (default: build/tamberlune-disk.img, with --boot-flow
              build/tamberlune-bootflow-ARCH.img, in the repository)
  --boot-flow write the U-Boot boot flow's disk for the --arch machine
              instead: boot.scr at the root, Tamberlune and BootOptions.efi in
              \EFI\Tamberlune, and at the removable-media path a stand-in for
              the board's normal loader (it prints "Tamberlune test payload:
              normal"); U-Boot's own boot flow then acts on the key pressed
  --boot      then boot the disk on U-Boot under QEMU (the --arch machine)
              and press a key at the menu yourself; then it shows the
              recorded variable, or with --boot-flow runs on until you leave
              QEMU with Ctrl-A X
  --key KEY   with --boot, press KEY unattended: p, r, esc, none or one
              character (a key piped in is taken as --key); with --boot-flow
              it stops at what the boot flow booted
  --arch ARCH the machine to boot or write the boot-flow disk for: x64
              (default), aa64, riscv64, riscv64-smode (booting only), ia32
              or arm
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
    --key)
      [ $# -ge 2 ] || { echo "disk: --key needs a key: p, r, esc, none or one character" >&2; exit 2; }
      key=$2; shift 2 ;;
    --arch) arch=$(tamberlune_arch disk "${2:-}") || exit 2; shift 2 ;;
    -*) echo "disk: unknown option '$1'" >&2; usage ;;
    *) [ -z "$disk" ] || usage; disk=$1; shift ;;
  esac
done
# The plain disk holds every machine's image: a machine means something only
# to a boot or to the boot-flow disk.
if [ -n "$arch" ] && [ "$boot" = no ] && [ "$boot_flow" = no ]; then
  echo "disk: --arch picks the machine to boot (--boot) or the boot-flow disk's (--boot-flow); the plain disk holds every machine's image" >&2
  exit 2
fi
if [ -n "$key" ] && [ "$boot" = no ]; then
  echo "disk: --key goes with --boot" >&2
  exit 2
fi
[ "$boot" = no ] || key=$(tamberlune_key disk "$key") || exit 2
arch=${arch:-x64}
# Supervisor-mode RISC-V boots the same disk as machine mode.
machine=${arch%-smode}
if [ "$boot_flow" = yes ] && [ "$arch" != "$machine" ] && [ "$boot" = no ]; then
  echo "disk: riscv64-smode is a way to boot; the boot-flow disk for it is --arch riscv64" >&2
  exit 2
fi
default=$repo/build/tamberlune-disk.img
[ "$boot_flow" = no ] || default=$repo/build/tamberlune-bootflow-$machine.img
disk=${disk:-$default}
# Where the disk goes is checked before anything is built.
[ "$disk" = "$default" ] || python3 "$repo/tools/make_disk.py" --check "$disk"

"$repo/tools/build.sh" --quiet
if [ "$boot_flow" = yes ]; then
  suffix=$(tamberlune_suffix "$machine")
  python3 "$repo/tools/make_disk.py" --boot-flow "$repo/build/boot.scr" "$repo/build/Tamberlune$suffix.efi" \
    "$repo/build/BootOptions$suffix.efi" "$repo/build/payload/$machine/normal.efi" "$disk"
else
  python3 "$repo/tools/make_disk.py" "$repo/build/Tamberlune.efi" "$repo/build/TamberluneAA64.efi" \
    "$repo/build/TamberluneRISCV64.efi" "$repo/build/TamberluneIA32.efi" "$repo/build/TamberluneARM.efi" "$disk"
fi
if [ "$boot" = yes ]; then
  flow=()
  # The boot-flow disk gets a network to boot from when p is pressed.
  [ "$boot_flow" = no ] || flow=(--boot-flow --tftp "$repo/build/payload/$machine/network.efi")
  exec python3 "$repo/tools/uboot.py" --disk "$disk" --arch "$arch" "${flow[@]}" ${key:+--key "$key"}
fi
