#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the image and boots it on U-Boot's UEFI
# firmware under QEMU. Without --key you see the menu and press a key
# yourself; then it shows which boot-choice variable the image recorded.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: tools/run.sh [--arch x64|aa64|riscv64] [--key p|r|esc|none|CHARACTER] (--help for more)" >&2; exit 2; }
key=
arch=x64
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help)
      cat <<'USAGE'
usage: tools/run.sh [--arch ARCH] [--key KEY]
Builds the images, boots one on its U-Boot's UEFI firmware under QEMU, starts
it from a FAT disk and shows which boot-choice variable it recorded.
  --arch ARCH x64 (default), aa64 or riscv64
  --key KEY   press KEY at the menu, unattended: p, r, esc, none (press
              nothing: the four-second wait), or any one character.
Without --key you press the key yourself; a key piped in (echo p | ...) is
taken as --key. Exit status 0 when the boot ran, 2 on bad arguments.
example: tools/run.sh --key p
USAGE
      exit 0 ;;
    --key)
      [ $# -ge 2 ] || usage
      key=$2; shift 2 ;;
    --arch)
      case "${2:-}" in
        x64|aa64|riscv64) arch=$2; shift 2 ;;
        *) echo "run: --arch takes x64, aa64 or riscv64, not '${2:-}'" >&2; exit 2 ;;
      esac ;;
    *) echo "run: unknown argument '$1'" >&2; usage ;;
  esac
done
if [ -z "$key" ] && [ ! -t 0 ]; then
  # A piped key: its line end is no keystroke, and no input at all is none.
  key=$(cat)
  key=${key:-none}
fi
if [ -n "$key" ]; then
  case "$key" in
    p|r|esc|none) ;;
    *) [ "${#key}" -eq 1 ] || { echo "run: --key takes p, r, esc, none or one character, not '$key'" >&2; exit 2; } ;;
  esac
fi

"$repo/tools/build.sh"
case "$arch" in
  x64) image=Tamberlune.efi ;;
  aa64) image=TamberluneAA64.efi ;;
  riscv64) image=TamberluneRISCV64.efi ;;
esac
exec python3 "$repo/tests/uboot.py" --image "$repo/build/$image" --arch "$arch" ${key:+--key "$key"}
