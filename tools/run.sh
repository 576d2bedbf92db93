#!/usr/bin/env bash
# Installs what is missing, builds the image and boots it on U-Boot's UEFI
# firmware under QEMU. Without --key you see the menu and press a key
# yourself; then it shows which boot-choice variable the image recorded.
#   tools/run.sh [--key p|r|esc|none|CHARACTER]
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  "" ) ;;
  --key) [ $# -eq 2 ] || { echo "usage: tools/run.sh [--key p|r|esc|none|CHARACTER]" >&2; exit 2; } ;;
  *) echo "usage: tools/run.sh [--key p|r|esc|none|CHARACTER]" >&2; exit 2 ;;
esac

tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target image >/dev/null
exec python3 tools/uboot.py --image build/Tamberlune.efi "$@"
