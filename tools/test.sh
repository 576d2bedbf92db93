#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every test: the host
# unit tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the image's byte-level checks, the end-to-end
# boots on U-Boot under QEMU, the benchmark's smoke run, and a minute of
# fuzzing per libFuzzer target.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  "") ;;
  -h|--help)
    cat <<'USAGE'
usage: tools/test.sh
Installs what is missing, builds everything in build/, build-sanitize/,
build-i386/ and build-fuzz/, and runs every test: the unit tests under
AddressSanitizer and UndefinedBehaviorSanitizer, the unit tests on a 32-bit
host, a minute of fuzzing per target, then the unit
tests, image checks, tool tests, package test and the end-to-end boots on
U-Boot under QEMU (one QEMU at a time). CI runs exactly this.
Exit status 0 when every test passed.
example: tools/test.sh
USAGE
    exit 0 ;;
  *) echo "usage: tools/test.sh (no arguments; --help for more)" >&2; exit 2 ;;
esac

tools/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTAMBERLUNE_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/host-i386.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-i386 -j "$jobs"

echo "== unit tests and image tools under AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-sanitize && ctest -j "$jobs" --output-on-failure -LE boot)
echo "== unit tests on a 32-bit host (IA32: 32-bit UINTN, pointers and EFI_STATUS)"
(cd build-i386 && ctest -j "$jobs" --output-on-failure)
echo "== fuzzing, a minute a target"
tools/fuzz.sh --seconds 60
echo "== unit tests, image checks, simulator and end-to-end boots"
(cd build && ctest -j "$jobs" --output-on-failure)
