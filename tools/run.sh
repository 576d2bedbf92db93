#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the image and boots it on U-Boot's UEFI
# firmware under QEMU. Without --key you see the menu and press a key
# yourself; then it shows which boot-choice variable the image recorded.
# With --boot-flow, U-Boot's own boot flow starts it from the boot-flow disk
# and acts on the key.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command run

tamberlune_help() {
  cat <<USAGE
Usage: tools/run.sh [--boot-flow] [--arch ARCH] [--key KEY] [--build-dir DIR] [--firmware DIR]
Builds the images, boots one on its U-Boot's UEFI firmware under QEMU, starts
it from a FAT disk and shows which boot-choice variable it recorded.
  --boot-flow boot the boot-flow disk instead (tools/disk.sh --boot-flow) on
              a network whose DHCP server names a test payload as the boot
              file: U-Boot's own boot flow starts Tamberlune and acts on the
              key. Each test payload prints "Tamberlune test payload: ROLE":
              network (the network boot file) or normal (the board's normal
              loader). With --key it stops at the first payload or at
              U-Boot's prompt and says how long that took after the key;
              without, leave QEMU with Ctrl-A X.
  --arch ARCH $(tamberlune_arches), or a machine's
              Debian or GNU name (amd64, x86_64, ...); default x64;
              riscv64-smode: the RISC-V image on U-Boot in supervisor mode,
              started by OpenSBI
  --key KEY   press KEY at the menu, unattended: $(tamberlune_machines keys), none (press
              nothing: the wait runs out), or any one character.
  --build-dir DIR
              the build tree whose image boots (default build/ in the
              repository; a tree configured with other settings works too)
  --firmware DIR
              boot on the U-Boot release unpacked in DIR by tools/firmware.sh
              (build/firmware/trixie: Debian 13's U-Boot 2025.01) instead of
              the installed u-boot-qemu
Without --key you press the key yourself (leave QEMU with Ctrl-A X); a key
piped in (echo p | ...) is taken as --key. Exit status 0 when the boot ran,
1 when it failed, 2 on bad arguments, 130 or 143 when interrupted.
Example:
  tools/run.sh --key p
  tools/run.sh --boot-flow --key esc
USAGE
}

tamberlune_arguments "--boot-flow --key= --arch= --build-dir= --firmware=" 0 "$@"
boot_flow=$(tamberlune_option --boot-flow no)
arch=$(tamberlune_arch "$(tamberlune_option --arch x64)") || exit 2
key=$(tamberlune_key "$(tamberlune_option --key)") || exit 2
build=$(tamberlune_absolute "$(tamberlune_option --build-dir "$repo/build")")
tamberlune_firmware "$(tamberlune_option --firmware)"
tamberlune_needs boot

# A machine's other boots (supervisor-mode RISC-V) run its build.
machine=$(tamberlune_machines get "$arch" machine)
if [ "$boot_flow" = yes ]; then
  # A disk and a TFTP folder of this run's own: two runs never share one.
  # disk.sh builds what it writes.
  tamberlune_scratch
  scratch=$TAMBERLUNE_SCRATCH
  tamberlune_run "$repo/tools/disk.sh" --boot-flow --arch "$machine" --build-dir "$build" --out "$scratch/disk.img"
  mkdir "$scratch/tftp"
  cp "$build/payload/$machine/network.efi" "$scratch/tftp/"
  tamberlune_run "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/uboot.py" --disk "$scratch/disk.img" --arch "$arch" --boot-flow \
    --tftp "$scratch/tftp/network.efi" ${key:+--key "$key"}
  exit
fi

tamberlune_run "$repo/tools/build.sh" --quiet --build-dir "$build"
suffix=$(tamberlune_suffix "$arch")
exec "$TAMBERLUNE_PYTHON" "$TAMBERLUNE_LIBRARY/uboot.py" --image "$build/Tamberlune$suffix.efi" --arch "$arch" ${key:+--key "$key"}
exit
}
