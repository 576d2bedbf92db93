# SPDX-License-Identifier: MIT
# A host build for another Debian architecture: the host library, the host
# tools, the images and every test, compiled by clang for that architecture
# against Debian's cross libraries, and run under QEMU's user-mode emulator.
# Needs Debian's cross libraries and linker of the architecture
# (libstdc++-12-dev-arm64-cross and binutils-aarch64-linux-gnu on Debian 12,
# say; tools/install-deps.sh test installs arm64's and armhf's) and
# qemu-user.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/host-cross.cmake -DTAMBERLUNE_HOST_ARCH=arm64
# Each architecture: its GNU triple, and the emulator that runs its programs.
set(tamberlune_hosts
  arm64 aarch64-linux-gnu qemu-aarch64
  armhf arm-linux-gnueabihf qemu-arm
  riscv64 riscv64-linux-gnu qemu-riscv64
  ppc64el powerpc64le-linux-gnu qemu-ppc64le
)
if(NOT TAMBERLUNE_HOST_ARCH AND DEFINED ENV{TAMBERLUNE_HOST_ARCH})
  set(TAMBERLUNE_HOST_ARCH $ENV{TAMBERLUNE_HOST_ARCH})
endif()
# try_compile's projects read this file again: hand them the architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAMBERLUNE_HOST_ARCH)
list(FIND tamberlune_hosts "${TAMBERLUNE_HOST_ARCH}" at)
math(EXPR remainder "${at} % 3")
if(at LESS 0 OR NOT remainder EQUAL 0)
  message(FATAL_ERROR "TAMBERLUNE_HOST_ARCH is arm64, armhf, riscv64 or ppc64el, not '${TAMBERLUNE_HOST_ARCH}'")
endif()
math(EXPR at_triple "${at} + 1")
math(EXPR at_emulator "${at} + 2")
list(GET tamberlune_hosts ${at_triple} triple)
list(GET tamberlune_hosts ${at_emulator} emulator)
string(REGEX REPLACE "-.*" "" processor ${triple})

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NOT EXISTS /usr/${triple}/lib/libc.so.6 AND NOT EXISTS /usr/${triple}/lib64/libc.so.6)
  message(FATAL_ERROR "no C library for ${TAMBERLUNE_HOST_ARCH} in /usr/${triple}; install "
                      "libstdc++-N-dev-${TAMBERLUNE_HOST_ARCH}-cross (N: this Debian's GCC release) and "
                      "binutils-${triple} with apt-get install --no-install-recommends")
endif()
find_program(TAMBERLUNE_HOST_EMULATOR ${emulator})
if(NOT TAMBERLUNE_HOST_EMULATOR)
  message(FATAL_ERROR "${emulator} is missing; install it with: apt-get install --no-install-recommends qemu-user")
endif()
# The emulator finds the architecture's dynamic loader and libraries there.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMBERLUNE_HOST_EMULATOR} -L /usr/${triple})
