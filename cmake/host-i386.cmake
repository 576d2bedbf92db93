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
# A kernel built or booted without 32-bit emulation (ia32_emulation=off)
# runs no 32-bit program: then the tests run under QEMU's user-mode emulator,
# the same code on the same 32-bit libraries. The 32-bit dynamic loader is
# the program that tells.
execute_process(COMMAND /lib/ld-linux.so.2 --help RESULT_VARIABLE runs_32_bit OUTPUT_QUIET ERROR_QUIET)
if(NOT runs_32_bit EQUAL 0)
  find_program(TAMBERLUNE_QEMU_I386 qemu-i386)
  if(NOT TAMBERLUNE_QEMU_I386)
    message(FATAL_ERROR "this machine runs no 32-bit program (no g++-multilib, or a kernel without 32-bit "
                        "emulation); install them with: apt-get install --no-install-recommends g++-multilib qemu-user")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMBERLUNE_QEMU_I386})
endif()
