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
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
cd "$repo"
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command test

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/test.sh [--no-cross-hosts]
Installs what is missing, builds everything in build/, build-sanitize/,
build-fuzz/ and (on amd64) build-i386/, build-arm64/ and build-armhf/, and
runs every test: the unit tests under AddressSanitizer and
UndefinedBehaviorSanitizer, the unit tests on a 32-bit x86 host, every host
test built for arm64 and armhf under QEMU's user-mode emulator, a minute of
fuzzing per target, then the unit
tests, image checks, tool tests, package test and the end-to-end boots on
U-Boot under QEMU (one QEMU at a time). CI runs exactly this.
  --no-cross-hosts  leave out the arm64 and armhf suites (tools/test-debian.sh
                    does: they prove the code, not the Debian release, and
                    CI runs them once, on this machine's release)
Exit status 0 when every test passed, 1 when one failed, 2 on bad arguments,
130 or 143 when interrupted.
Example:
  tools/test.sh
USAGE
}

tamberlune_arguments "--no-cross-hosts" 0 "$@"
cross=$(tamberlune_option --no-cross-hosts no)
tamberlune_needs test
jobs=$(nproc)
tests=(-DTAMBERLUNE_TESTS=ON)

tamberlune_run cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}" -DTAMBERLUNE_BENCHMARK=ON >/dev/null
tamberlune_run cmake --build build -j "$jobs"
tamberlune_run cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTAMBERLUNE_SANITIZE=ON "${tests[@]}" >/dev/null
tamberlune_run cmake --build build-sanitize -j "$jobs"
# The host suites beside this machine's own: an amd64 machine also builds
# the unit tests for 32-bit x86, and every host test for arm64 and armhf (run
# under QEMU's user-mode emulator, their images held to this tree's).
others=()
native=$(tamberlune_architecture)
[ "$native" != amd64 ] || [ "$cross" != no ] || others=(arm64 armhf)
if [ "$native" = amd64 ]; then
  tamberlune_run cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/host-i386.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  tamberlune_run cmake --build build-i386 -j "$jobs"
fi
for arch in "${others[@]}"; do
  tamberlune_run cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/host-cross.cmake -DTAMBERLUNE_HOST_ARCH="$arch" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}" -DTAMBERLUNE_REFERENCE_TREE="$PWD/build" >/dev/null
  tamberlune_run cmake --build "build-$arch" -j "$jobs"
done

echo "== unit tests and image tools under AddressSanitizer and UndefinedBehaviorSanitizer"
# What the sanitizers add to: the tests that run the host code (label host).
tamberlune_run ctest --test-dir build-sanitize -j "$jobs" --output-on-failure -L host
if [ "$native" = amd64 ]; then
  echo "== unit tests on a 32-bit host (IA32: 32-bit UINTN, pointers and EFI_STATUS)"
  tamberlune_run ctest --test-dir build-i386 -j "$jobs" --output-on-failure
fi
for arch in "${others[@]}"; do
  echo "== every host test built for $arch, under QEMU's user-mode emulator"
  tamberlune_run ctest --test-dir "build-$arch" -j "$jobs" --output-on-failure -L host
done
echo "== fuzzing, a minute a target"
tamberlune_run tools/fuzz.sh --seconds 60
echo "== unit tests, image checks, simulator and end-to-end boots"
tamberlune_run ctest --test-dir build -j "$jobs" --output-on-failure
exit
}
