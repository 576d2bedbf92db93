# SPDX-License-Identifier: MIT
# The 32-bit x86 host build: the host library, the firmware stand-in and the
# unit tests where UINTN, EFI_STATUS and pointers are 32 bits, EFIAPI is the
# C convention and every argument list is a real one of 4- and 8-byte
# arguments, as on IA32 and ARM firmware. Needs Debian's g++-multilib.
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/host-i386.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
# Only what runs on the host: no images, host tools, benchmark or package.
set(TAMBERLUNE_HOST_ONLY ON CACHE BOOL "Build the host library and its unit tests alone")
