#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every test: the host
# unit tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the image's byte-level checks, the end-to-end
# boots on U-Boot under QEMU, the benchmark's smoke run, and a minute of
# fuzzing per libFuzzer target.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
cd "$(dirname "$0")/.."
TAMBERLUNE_LIBRARY=$PWD/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command test

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/test.sh
Installs what is missing, builds everything in build/, build-sanitize/,
build-i386/ and build-fuzz/, and runs every test: the unit tests under
AddressSanitizer and UndefinedBehaviorSanitizer, the unit tests on a 32-bit
host, a minute of fuzzing per target, then the unit
tests, image checks, tool tests, package test and the end-to-end boots on
U-Boot under QEMU (one QEMU at a time). CI runs exactly this.
Exit status 0 when every test passed, 1 when one failed, 2 on bad arguments,
130 or 143 when interrupted.
Example:
  tools/test.sh
USAGE
}

tamberlune_arguments "" 0 "$@"
tamberlune_needs test
jobs=$(nproc)
tests=(-DTAMBERLUNE_TESTS=ON)

tamberlune_run cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}" -DTAMBERLUNE_BENCHMARK=ON >/dev/null
tamberlune_run cmake --build build -j "$jobs"
tamberlune_run cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTAMBERLUNE_SANITIZE=ON "${tests[@]}" >/dev/null
tamberlune_run cmake --build build-sanitize -j "$jobs"
tamberlune_run cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/host-i386.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
tamberlune_run cmake --build build-i386 -j "$jobs"

echo "== unit tests and image tools under AddressSanitizer and UndefinedBehaviorSanitizer"
# What the sanitizers add to: the tests that run the host code (label host).
tamberlune_run ctest --test-dir build-sanitize -j "$jobs" --output-on-failure -L host
echo "== unit tests on a 32-bit host (IA32: 32-bit UINTN, pointers and EFI_STATUS)"
tamberlune_run ctest --test-dir build-i386 -j "$jobs" --output-on-failure
echo "== fuzzing, a minute a target"
tamberlune_run tools/fuzz.sh --seconds 60
echo "== unit tests, image checks, simulator and end-to-end boots"
tamberlune_run ctest --test-dir build -j "$jobs" --output-on-failure
exit
}
