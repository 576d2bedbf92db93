#!/usr/bin/env bash
# Installs what is missing, builds the image and writes a bootable disk: a GPT
# with an EFI system partition holding it as \EFI\BOOT\BOOTX64.EFI, which a
# UEFI firmware's own boot flow starts with nothing typed. With --boot, boots
# the disk on U-Boot under QEMU on this terminal (leave QEMU with Ctrl-A X).
#   tools/disk.sh [--boot] [DISK]      DISK defaults to build/tamberlune-disk.img
set -euo pipefail
cd "$(dirname "$0")/.."

boot=no
if [ "${1:-}" = --boot ]; then boot=yes; shift; fi
[ $# -le 1 ] && [[ "${1:-}" != -* ]] || { echo "usage: tools/disk.sh [--boot] [DISK]" >&2; exit 2; }
disk=${1:-build/tamberlune-disk.img}

tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target image >/dev/null
python3 tools/make_disk.py build/Tamberlune.efi "$disk"
if [ "$boot" = yes ]; then
  exec qemu-system-x86_64 -accel tcg -nographic -nic none -m 256 \
    -bios /usr/lib/u-boot/qemu-x86_64/u-boot.rom \
    -drive if=none,id=disk,format=raw,file="$disk" -device virtio-blk-pci,drive=disk
fi
