#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the image and boots it on U-Boot's UEFI
# firmware under QEMU. Without --key you see the menu and press a key
# yourself; then it shows which boot-choice variable the image recorded.
# With --boot-flow, U-Boot's own boot flow starts it from the boot-flow disk
# and acts on the key.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/tools/arguments.sh"

usage() { echo "usage: tools/run.sh [--boot-flow] [--arch ARCH] [--key p|r|esc|none|CHARACTER] (--help for more)" >&2; exit 2; }
key=
boot_flow=no
arch=x64
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help)
      cat <<'USAGE'
usage: tools/run.sh [--boot-flow] [--arch ARCH] [--key KEY]
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
  --arch ARCH x64 (default), aa64, riscv64, riscv64-smode (the RISC-V
              image on U-Boot in supervisor mode, started by OpenSBI), ia32
              (32-bit x86) or arm (ARMv7)
  --key KEY   press KEY at the menu, unattended: p, r, esc, none (press
              nothing: the four-second wait), or any one character.
Without --key you press the key yourself (leave QEMU with Ctrl-A X); a key
piped in (echo p | ...) is taken as --key. Exit status 0 when the boot ran,
1 when it failed, 2 on bad arguments.
example: tools/run.sh --key p
         tools/run.sh --boot-flow --key esc
USAGE
      exit 0 ;;
    --boot-flow) boot_flow=yes; shift ;;
    --key)
      [ $# -ge 2 ] || { echo "run: --key needs a key: p, r, esc, none or one character" >&2; exit 2; }
      key=$2; shift 2 ;;
    --arch) arch=$(tamberlune_arch run "${2:-}") || exit 2; shift 2 ;;
    *) echo "run: unknown argument '$1'" >&2; usage ;;
  esac
done
key=$(tamberlune_key run "$key") || exit 2

# Supervisor-mode RISC-V runs the machine-mode build.
machine=${arch%-smode}
if [ "$boot_flow" = yes ]; then
  # A disk and a TFTP folder of this run's own: two runs never share one.
  # disk.sh builds what it writes.
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/tamberlune-flow-XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  "$repo/tools/disk.sh" --boot-flow --arch "$machine" --out "$scratch/disk.img"
  mkdir "$scratch/tftp"
  cp "$repo/build/payload/$machine/network.efi" "$scratch/tftp/"
  python3 "$repo/tools/uboot.py" --disk "$scratch/disk.img" --arch "$arch" --boot-flow \
    --tftp "$scratch/tftp/network.efi" ${key:+--key "$key"}
  exit
fi

"$repo/tools/build.sh" --quiet
suffix=$(tamberlune_suffix "$arch")
exec python3 "$repo/tools/uboot.py" --image "$repo/build/Tamberlune$suffix.efi" --arch "$arch" ${key:+--key "$key"}
