#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the images and writes a bootable disk: a
# GPT with an EFI system partition holding each at its machine's
# removable-media path, which a UEFI firmware's own boot flow starts with
# nothing typed. With --boot-flow, writes the U-Boot boot flow's disk for one
# machine instead. With --boot, boots the disk on U-Boot under QEMU.
# Installed as tamberlune-disk, it writes the plain disk from the installed
# images.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command "$([ -z "$TAMBERLUNE_IMAGES" ] && echo disk || echo tamberlune-disk)"

tamberlune_help() {
  if [ -n "$TAMBERLUNE_IMAGES" ]; then
    cat <<USAGE
Usage: tamberlune-disk [--board BOARD] DISK
Writes a bootable disk image from the installed images. The disk is a GPT with
an EFI system partition holding each image at its machine's removable-media
path (\\EFI\\BOOT\\BOOTX64.EFI on x86-64, and so on), which a UEFI firmware
starts with nothing typed. The images are
those in share/tamberlune under the prefix (/usr/share/tamberlune from the
package); the same images always give the same disk, byte for byte. DISK is
the disk file to write: a new path or a regular file (through a symbolic
link, the file it names), never a device: write the file, then copy it to a
stick with dd.
  --board BOARD  write a board's SD card instead ($(tamberlune_machines boards --spoken)):
                 an MBR, the board's U-Boot from Debian's build of it (the
                 installed package, as on an ARM machine, or the release
                 unpacked under TAMBERLUNE_FIRMWARE) where the board reads it,
                 and the same partition
Exit status 0 when the disk was written, 1 on failure, 2 on bad arguments.
Example:
  tamberlune-disk /tmp/tamberlune.img && sudo dd if=/tmp/tamberlune.img of=/dev/sdX bs=4M conv=fsync
USAGE
    return
  fi
  cat <<USAGE
Usage: tools/disk.sh [--boot-flow] [--board BOARD [--firmware DIR]] [--boot [--key KEY] [--firmware DIR]]
                     [--arch ARCH] [--build-dir DIR] [[--out] DISK]
Builds the images and writes a bootable disk image: a GPT with an EFI system
partition holding each at its machine's removable-media path
(\\EFI\\BOOT\\BOOTX64.EFI on x86-64, and so on). The same images always
give the same disk, byte for byte.
  DISK, --out DISK
              the disk file to write, relative to this folder: a new path or
              a regular file (through a symbolic link, the file it names);
              never a device: write the file, then copy it to a stick with dd
              (default: tamberlune-disk.img, with --boot-flow
              tamberlune-bootflow-ARCH.img, in the build folder)
  --boot-flow write the U-Boot boot flow's disk for the --arch machine
              instead: boot.scr and setup.scr at the root, Tamberlune and BootOptions.efi in
              \\EFI\\Tamberlune, and at the removable-media path a stand-in for
              the board's normal loader (it prints "Tamberlune test payload:
              normal"); U-Boot's own boot flow then acts on the key pressed
  --board BOARD
              write a board's SD card instead ($(tamberlune_machines boards --spoken)):
              an MBR, the board's U-Boot where its boot ROM or firmware reads
              it, and the same partition (with --boot-flow, the boot-flow
              files for the board's machine); its U-Boot is Debian's build
              under --firmware DIR (a release fetched by tools/firmware.sh),
              else the installed package's (default name:
              tamberlune-card-BOARD.img in the build folder)
  --boot      then boot the disk on U-Boot under QEMU (the --arch machine,
              or the board)
              and press a key at the menu yourself; then it shows the
              recorded variable, or with --boot-flow runs on until you leave
              QEMU with Ctrl-A X
  --key KEY   with --boot, press KEY unattended: $(tamberlune_machines keys), none or one
              character (a key piped in is taken as --key); with --boot-flow
              it stops at what the boot flow booted
  --arch ARCH the machine to boot or write the boot-flow disk for:
              $(tamberlune_arches), or a machine's
              Debian or GNU name (amd64, x86_64, ...); default x64;
              riscv64-smode boots the riscv64 disk
  --build-dir DIR
              the build tree whose images go on the disk (default build/ in
              the repository; a tree configured with other settings works too)
Exit status 0 when the disk was written (and booted), 1 on failure, 2 on bad
arguments, 130 or 143 when interrupted.
Example:
  tools/disk.sh /tmp/tamberlune.img && sudo dd if=/tmp/tamberlune.img of=/dev/sdX bs=4M conv=fsync
  tools/firmware.sh trixie && tools/disk.sh --board orangepi-pc --firmware build/firmware/trixie
USAGE
}

if [ -n "$TAMBERLUNE_IMAGES" ]; then
  tamberlune_arguments "--board=" 1 "$@"
  [ ${#TAMBERLUNE_OPERANDS[@]} -eq 1 ] || tamberlune_refuse "name the disk file to write"
  card=()
  [ -z "$(tamberlune_option --board)" ] || card=(--board "$(tamberlune_option --board)")
  mapfile -t images < <(tamberlune_machines images "$TAMBERLUNE_IMAGES")
  "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/make_disk.py" "${card[@]}" "${images[@]}" "${TAMBERLUNE_OPERANDS[0]}"
  exit
fi

tamberlune_arguments "--boot --boot-flow --key= --arch= --board= --out= --build-dir= --firmware=" 1 "$@"
boot=$(tamberlune_option --boot no)
boot_flow=$(tamberlune_option --boot-flow no)
key=$(tamberlune_option --key)
disk=$(tamberlune_option --out)
if [ ${#TAMBERLUNE_OPERANDS[@]} -eq 1 ]; then
  [ -z "$disk" ] || tamberlune_refuse "two disk files: '${TAMBERLUNE_OPERANDS[0]}' and --out '$disk'"
  disk=${TAMBERLUNE_OPERANDS[0]}
fi
arch=
[ -z "$(tamberlune_option --arch)" ] || arch=$(tamberlune_arch "$(tamberlune_option --arch)") || exit 2
board=$(tamberlune_option --board)
if [ -n "$board" ]; then
  tamberlune_machines boards | grep -x -- "$board" >/dev/null ||
    tamberlune_refuse "--board takes $(tamberlune_machines boards --spoken), not '$board'"
  [ -z "$arch" ] || tamberlune_refuse "--board names the machine already; leave --arch out"
fi
build=$(tamberlune_absolute "$(tamberlune_option --build-dir "$repo/build")")
# The plain disk holds every machine's image: a machine means something only
# to a boot or to the boot-flow disk.
if [ -n "$arch" ] && [ "$boot" = no ] && [ "$boot_flow" = no ] && [ -z "$board" ]; then
  tamberlune_refuse "--arch picks the machine to boot (--boot) or the boot-flow disk's (--boot-flow); the plain disk holds every machine's image"
fi
[ -z "$key" ] || [ "$boot" = yes ] || tamberlune_refuse "--key goes with --boot"
[ -z "$(tamberlune_option --firmware)" ] || [ "$boot" = yes ] || [ -n "$board" ] ||
  tamberlune_refuse "--firmware goes with --boot or --board"
tamberlune_firmware "$(tamberlune_option --firmware)"
[ "$boot" = no ] || key=$(tamberlune_key "$key") || exit 2
arch=${arch:-${board:-x64}}
# A machine's other boots (supervisor-mode RISC-V) boot its disk.
machine=$(tamberlune_machines get "$arch" machine)
if [ "$boot_flow" = yes ] && [ "$arch" != "$machine" ] && [ "$boot" = no ] && [ -z "$board" ]; then
  tamberlune_refuse "$arch is a way to boot; the boot-flow disk for it is --arch $machine"
fi
default=$build/tamberlune-disk.img
[ "$boot_flow" = no ] || default=$build/tamberlune-bootflow-$machine.img
[ -z "$board" ] || default=$build/tamberlune-card-$board.img
[ -z "$board" ] || [ "$boot_flow" = no ] || default=$build/tamberlune-bootflow-$board.img
disk=${disk:-$default}
# Where the disk goes is checked before anything is built.
[ "$disk" = "$default" ] || tamberlune_output "$disk" >/dev/null

card=()
[ -z "$board" ] || card=(--board "$board")
tamberlune_run "$repo/tools/build.sh" --quiet --build-dir "$build"
if [ "$boot_flow" = yes ]; then
  suffix=$(tamberlune_suffix "$machine")
  tamberlune_run "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/make_disk.py" "${card[@]}" --boot-flow "$build/boot.scr" "$build/setup.scr" "$build/Tamberlune$suffix.efi" \
    "$build/BootOptions$suffix.efi" "$build/payload/$machine/normal.efi" "$disk"
else
  mapfile -t images < <(tamberlune_machines images "$build")
  tamberlune_run "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/make_disk.py" "${card[@]}" "${images[@]}" "$disk"
fi
if [ "$boot" = yes ]; then
  tamberlune_needs boot
  flow=()
  # The boot-flow disk gets a network to boot from when p is pressed.
  [ "$boot_flow" = no ] || flow=(--boot-flow --tftp "$build/payload/$machine/network.efi")
  exec "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/uboot.py" --disk "$disk" --arch "$arch" "${flow[@]}" ${key:+--key "$key"}
fi
exit
}
