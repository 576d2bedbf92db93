#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building needs and builds, in build/ (or the build tree
# named), the images and the host tools that the other commands and the
# README use: an image per machine of lib/machines.json (Tamberlune.efi,
# TamberluneRISCV64.efi, ...), the U-Boot boot flow (boot.scr,
# BootOptions*.efi, and the test payloads in payload/), tamberlune-inspect
# and tamberlune-sim; then prints the images' sizes, the stack figure and the
# settings that differ from the defaults.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command build

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/build.sh [--quiet] [--build-dir DIR]
Installs what building needs, then builds an image per machine
(Tamberlune.efi for x86-64, Tamberlune<MACHINE>.efi for the others), the
U-Boot boot flow (boot.scr, BootOptions*.efi) and the host tools (tools/tamberlune-inspect, tools/tamberlune-sim) in the build
tree, and prints the images' size and stack figures and the build settings
that differ from the defaults.
  --quiet          one line instead of the figures (what run.sh and disk.sh print)
  --build-dir DIR  the build tree (default build/ in the repository); a tree
                   configured with other settings (cmake -D...) keeps them
Exit status 0 on success, 1 on failure, 2 on bad arguments, 130 or 143 when
interrupted.
Example:
  tools/build.sh && build/tools/tamberlune-inspect build/Tamberlune.efi
USAGE
}

tamberlune_arguments "--quiet --build-dir=" 0 "$@"
quiet=$(tamberlune_option --quiet no)
build=$(tamberlune_absolute "$(tamberlune_option --build-dir "$repo/build")")
tamberlune_needs build
if ! error=$({ mkdir -p "$build" && rm -f "$(mktemp "$build/.writable-XXXXXX")"; } 2>&1); then
  case "$error" in
    *"Read-only file system"*)
      tamberlune_fail "cannot write $build: its file system is read-only; build elsewhere with --build-dir DIR" ;;
    *"Permission denied"*)
      tamberlune_fail "cannot write $build: permission denied; run as the user who owns the checkout, or build elsewhere with --build-dir DIR" ;;
    *) tamberlune_fail "cannot write $build: ${error##*: }; build elsewhere with --build-dir DIR" ;;
  esac
fi
# The build's own chatter goes to a log, shown whole when it fails; what a
# person wants from it, the image's figures, is printed every time.
log=$build/build.log
# A new tree is configured for release with debug information; a tree
# configured before keeps its build type with the rest of its settings.
type=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
[ ! -f "$build/CMakeCache.txt" ] || type=()
configure_and_build() {
  cmake -S "$repo" -B "$build" "${type[@]}" &&
    cmake --build "$build" -j "$(nproc)" --target image boot_script payloads tamberlune-inspect tamberlune-sim
}
if ! tamberlune_run_into "$log" configure_and_build; then
  cat "$log" >&2
  tamberlune_fail "the build failed; its output is above and in $log"
fi
mapfile -t images < <(tamberlune_machines images "$build")
changed=$(sed -n 's/^changed=//p' "$build/settings.txt")
settings="default settings"
[ -z "$changed" ] || settings="settings $changed"
if [ "$quiet" = yes ]; then
  sizes=$(stat -c %s "${images[@]}" | paste -sd/)
  echo "built: ${#images[@]} images ($sizes bytes), their listings and boot.scr in $build with $settings (tools/build.sh shows their figures)"
  exit 0
fi
for image in "${images[@]}"; do
  "$TAMBERLUNE_PYTHON" "$repo/build-steps/image_sizes.py" "$image"
done
for objects in $(tamberlune_machines get objects); do
  printf '%s: ' "$objects"
  "$TAMBERLUNE_PYTHON" "$repo/build-steps/stack_budget.py" "$build/$objects"
done
echo "built in $build with $settings"
exit
}
