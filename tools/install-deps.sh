#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that one job needs, when any of them is
# missing: building, booting (and writing disks), signing, benchmarking,
# fuzzing or testing (all of them). Safe to run again: it installs nothing
# twice. Recommended packages stay out: the QEMU packages recommend other
# UEFI firmware, and the images run on U-Boot's (u-boot-qemu) alone.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command install-deps

# The GCC release whose C++ library clang builds against, as this Debian
# ships it (12 on Debian 12): the cross libraries must be the same release.
# (No cross compiler: GCC's for arm64 and armhf cannot be installed beside
# g++-multilib; clang needs only their libraries and linkers.)
gcc=$(dpkg-query -W -f='${Version}' libstdc++6 2>/dev/null | sed 's/^[0-9]*://; s/[.].*//')
gcc=${gcc:-12}

# JOB PACKAGE PROGRAM [ARCHITECTURE]: what each job needs, and a program or
# file of each package, looked for where dpkg-query cannot say what is
# installed; with ARCHITECTURE, only a machine of that Debian architecture
# needs it (an amd64 machine also tests the host code built for 32-bit x86,
# arm64 and armhf).
needs="
build clang clang
build lld ld.lld
build llvm llvm-objcopy
build cmake cmake
build make make
build python3 python3
build python3-pefile /usr/lib/python3/dist-packages/pefile.py
build python3-pyelftools /usr/lib/python3/dist-packages/elftools/__init__.py
build u-boot-tools mkimage
build help2man help2man
boot python3 python3
boot python3-pexpect /usr/lib/python3/dist-packages/pexpect/__init__.py
boot mtools mcopy
boot u-boot-qemu /usr/lib/u-boot/qemu-x86_64/u-boot.rom
sign sbsigntool sbsign
sign openssl openssl
bench libbenchmark-dev /usr/include/benchmark/benchmark.h
bench libfmt-dev /usr/include/fmt/format.h
bench libstb-dev /usr/include/stb/stb_sprintf.h
bench valgrind valgrind
fuzz libclang-rt-dev /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a
test googletest /usr/src/googletest/CMakeLists.txt
test libgtest-dev /usr/include/gtest/gtest.h
test git git
test efitools cert-to-efi-sig-list
test dpkg-dev dpkg-shlibdeps
test lintian lintian
test g++-multilib /usr/lib/gcc/x86_64-linux-gnu/*/32/libstdc++.so amd64
test binutils-aarch64-linux-gnu aarch64-linux-gnu-ld amd64
test libstdc++-$gcc-dev-arm64-cross /usr/aarch64-linux-gnu/include/c++/$gcc amd64
test binutils-arm-linux-gnueabihf arm-linux-gnueabihf-ld amd64
test libstdc++-$gcc-dev-armhf-cross /usr/arm-linux-gnueabihf/include/c++/$gcc amd64
test qemu-user qemu-i386 amd64
"

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/install-deps.sh [JOB]
Installs the Debian packages that JOB needs, if any is missing: build (the
compiler, linker, CMake, Python with its PE and ELF readers, mkimage), boot (QEMU, U-Boot, mtools), sign
(sbsigntool, OpenSSL), bench (Google Benchmark, {fmt}, stb, valgrind), fuzz
(clang's fuzzing runtime) or test (all of these, and GoogleTest, lintian,
valgrind; on amd64 the 32-bit libraries, the arm64 and armhf cross
toolchains and QEMU's user-mode emulator). As root it runs apt-get itself; any other
user is told the exact sudo line to run. Where dpkg-query is missing it looks
for each package's program and names the packages whose program is missing.
  JOB   build, boot, sign, bench, fuzz or test (default test)
Exit status: 0 when everything is installed, 1 otherwise, 2 on bad arguments.
Example:
  tools/install-deps.sh boot
USAGE
}

tamberlune_arguments "" 1 "$@"
job=${TAMBERLUNE_OPERANDS[0]:-test}
case "$job" in
  build | boot | sign | bench | fuzz | test) ;;
  *) tamberlune_refuse "JOB is build, boot, sign, bench, fuzz or test, not '$job'" ;;
esac

installed() {
  if command -v dpkg-query >/dev/null; then
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
  elif [[ "$2" == /* ]]; then
    compgen -G "$2" >/dev/null
  else
    command -v "$2" >/dev/null
  fi
}

# Each machine's QEMU, as the machine table names it; Python reads the
# table, so without Python it is installed first and the table read after.
machines_needs() {
  command -v "$TAMBERLUNE_PYTHON" >/dev/null || return 0
  paste -d ' ' <(tamberlune_machines get qemu_package) <(tamberlune_machines get qemu) | sed 's/^/boot /'
}

install_missing() {
  local missing=()
  local native
  native=$(tamberlune_architecture)
  while read -r need package program architecture; do
    [ -n "$need" ] || continue
    [ "$job" = test ] || [ "$job" = "$need" ] || continue
    [ -z "$architecture" ] || [ "$architecture" = "$native" ] || continue
    [[ " ${missing[*]} " != *" $package "* ]] || continue
    installed "$package" "$program" || missing+=("$package")
  done <<<"$1"
  [ ${#missing[@]} -eq 0 ] && return 0

  if ! command -v apt-get >/dev/null; then
    tamberlune_fail "missing ${missing[*]}, and this is no Debian machine (no apt-get); install them by hand"
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing ${missing[*]}; install them with:" >&2
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  [ -n "${TAMBERLUNE_UPDATED:-}" ] || tamberlune_run apt-get update -qq
  TAMBERLUNE_UPDATED=yes
  DEBIAN_FRONTEND=noninteractive tamberlune_run apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

table=$(machines_needs)
install_missing "$needs
$table"
[ -n "$table" ] || install_missing "$(machines_needs)"
exit
}
