#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing and builds, in build/, the image and the host tools
# that the other commands and the README use: Tamberlune.efi,
# TamberluneAA64.efi, TamberluneRISCV64.efi, TamberluneIA32.efi,
# TamberluneARM.efi, the U-Boot boot flow (boot.scr,
# BootOptions*.efi, and the test payloads in payload/), tamberlune-inspect
# and tamberlune-sim; then prints the images' sizes and the stack figure.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

quiet=no
case "${1:-}" in
  "") ;;
  --quiet) quiet=yes ;;
  -h|--help)
    cat <<'USAGE'
usage: tools/build.sh [--quiet]
Installs what is missing, then builds the images (build/Tamberlune.efi and
the AArch64, RISC-V, IA32 and ARM ones), the U-Boot boot flow (build/boot.scr) and the
host tools (build/tools/tamberlune-inspect, build/tools/tamberlune-sim), and
prints the images' size and stack figures.
  --quiet   one line instead of the figures (what run.sh and disk.sh print)
Exit status 0 on success.
example: tools/build.sh && build/tools/tamberlune-inspect build/Tamberlune.efi
USAGE
    exit 0 ;;
  *) echo "usage: tools/build.sh [--quiet] (--help for more)" >&2; exit 2 ;;
esac

"$repo/tools/install-deps.sh"
if ! mkdir -p "$repo/build" 2>/dev/null || [ ! -w "$repo/build" ]; then
  echo "build: cannot write $repo/build; run as the user who owns the checkout, or clone it anew" >&2
  exit 1
fi
# The build's own chatter goes to a log, shown whole when it fails; what a
# person wants from it, the image's figures, is printed every time.
log=$repo/build/build.log
if ! { cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$repo/build" -j "$(nproc)" --target image boot_script payloads \
         tamberlune-inspect tamberlune-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "build: the build failed; its output is above and in $log" >&2
  exit 1
fi
images=(Tamberlune TamberluneAA64 TamberluneRISCV64 TamberluneIA32 TamberluneARM)
if [ "$quiet" = yes ]; then
  sizes=$(cd "$repo/build" && for image in "${images[@]}"; do stat -c %s "$image.efi"; done | paste -sd/)
  echo "built: ${#images[@]} images ($sizes bytes), their listings and boot.scr in build/ (tools/build.sh shows their figures)"
  exit 0
fi
for image in "${images[@]}"; do
  PYTHONPATH="$repo/tools" python3 "$repo/cmake/image_sizes.py" "$repo/build/$image.efi"
done
for objects in image image-aa64 image-riscv64 image-ia32 image-arm; do
  printf '%s: ' "$objects"
  python3 "$repo/cmake/stack_budget.py" "$repo/build/$objects"
done
