# SPDX-License-Identifier: MIT
# The images: Tamberlune.efi for x86-64, TamberluneAA64.efi for AArch64 and
# TamberluneRISCV64.efi for RISC-V 64, PE32+ EFI applications compiled from
# the same sources as the host library. x86-64 and AArch64 are compiled with
# clang for a Windows target (whose conventions for the entry point are the
# UEFI ones) and linked by lld-link; RISC-V, which no linker here writes as
# PE, is linked as a position-independent ELF file and converted.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(TAMBERLUNE_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16 REQUIRED)
find_program(TAMBERLUNE_LD_LLD NAMES ld.lld ld.lld-14 ld.lld-15 ld.lld-16 REQUIRED)

set(TAMBERLUNE_IMAGE_FLAGS
  -std=c++20
  # Flash is scarce: the images are built for size.
  -Oz -fno-jump-tables
  -ffreestanding
  # No C++ runtime: no exceptions, RTTI or unwind tables in the image.
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  # There is no stack guard to feed.
  -fno-stack-protector
  # One section per function and object, so the linker drops what nothing uses
  # (memcpy and memset stay out unless the compiler calls them).
  -ffunction-sections -fdata-sections
  # Per-function stack usage (.su beside each object) for the stack budget.
  -fstack-usage
  -Wall -Wextra -Werror
  ${TAMBERLUNE_PREFIX_MAP}
  -I${CMAKE_SOURCE_DIR}/include -I${CMAKE_SOURCE_DIR}/print
)

# The help text's resource section, written by a generator built for the host.
add_executable(make_help_resource app/MakeHelpResource.cpp)
target_include_directories(make_help_resource PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/app)
target_compile_options(make_help_resource PRIVATE -Wall -Wextra -Werror)

# tamberlune_objects(NAME TARGET OBJECTS-FOLDER [FLAGS...]): compiles the
# sources for one target into OBJECTS-FOLDER; sets TAMBERLUNE_OBJECTS.
function(tamberlune_objects name target folder)
  file(MAKE_DIRECTORY ${folder})
  set(objects)
  foreach(source IN LISTS TAMBERLUNE_SOURCES ITEMS app/ImageSupport.cpp)
    string(REPLACE "/" "_" object "${source}")
    set(object "${folder}/${object}.obj")
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_CXX_COMPILER} --target=${target} ${TAMBERLUNE_IMAGE_FLAGS} ${ARGN}
              -MD -MF ${object}.d -c ${CMAKE_SOURCE_DIR}/${source} -o ${object}
      DEPENDS ${CMAKE_SOURCE_DIR}/${source}
      DEPFILE ${object}.d
      COMMENT "Compiling ${source} for ${name}"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(TAMBERLUNE_OBJECTS ${objects} PARENT_SCOPE)
endfunction()

# tamberlune_self_test_object(TARGET OBJECTS-FOLDER [FLAGS...]): the
# self-test's own source, compiled with the image's flags; sets
# TAMBERLUNE_SELF_TEST_OBJECT.
function(tamberlune_self_test_object target folder)
  set(object "${folder}/tests_SelfTest.cpp.obj")
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_CXX_COMPILER} --target=${target} ${TAMBERLUNE_IMAGE_FLAGS} ${ARGN}
            -I${CMAKE_SOURCE_DIR}/tests -MD -MF ${object}.d
            -c ${CMAKE_SOURCE_DIR}/tests/SelfTest.cpp -o ${object}
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/SelfTest.cpp
    DEPFILE ${object}.d
    COMMENT "Compiling the self-test for ${target}"
    VERBATIM)
  set(TAMBERLUNE_SELF_TEST_OBJECT ${object} PARENT_SCOPE)
endfunction()

# tamberlune_image(NAME MACHINE TARGET OBJECTS-FOLDER [FLAGS...]): compiles the
# sources for one machine (x64 or arm64, as lld-link names them) and links
# NAME, then prints its size and stack figures. Sets TAMBERLUNE_IMAGE_<MACHINE>.
function(tamberlune_image name machine target folder)
  tamberlune_objects(${name} ${target} ${folder} ${ARGN})
  set(objects ${TAMBERLUNE_OBJECTS})
  set(resource "${folder}/HelpResource.obj")
  add_custom_command(
    OUTPUT ${resource}
    COMMAND make_help_resource --machine ${machine} ${resource}
    DEPENDS make_help_resource
    COMMENT "Generating the help resource for ${name}"
    VERBATIM)
  set(image "${CMAKE_BINARY_DIR}/${name}")
  add_custom_command(
    OUTPUT ${image}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/link_image.py ${TAMBERLUNE_LLD_LINK}
            /machine:${machine} /subsystem:efi_application /entry:ImageEntry /nodefaultlib
            # 64-byte sections and file alignment keep the image small;
            # link_image.py drops lld-link's warning that /align wants /driver,
            # which speaks of Windows' loader, not a UEFI one.
            /align:64 /filealign:64
            # Constants share .data: the image has code, data, resources and
            # relocations, in that order.
            /merge:.rdata=.data
            # No timestamp and no debug directory: two builds are byte-identical.
            /Brepro /debug:none /opt:ref,icf
            /out:${image} ${objects} ${resource}
    # Say what the image weighs and how deep its stack goes.
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/image_sizes.py ${image}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/stack_budget.py ${folder}
    DEPENDS ${objects} ${resource}
    COMMENT "Linking ${name}"
    VERBATIM)
  string(TOUPPER ${machine} upper)
  set(TAMBERLUNE_IMAGE_${upper} ${image} PARENT_SCOPE)

  # The self-test image: the same objects and link, another entry point.
  tamberlune_self_test_object(${target} ${folder} ${ARGN})
  string(REPLACE "Tamberlune" "TamberluneSelfTest" self_test ${name})
  set(self_test "${CMAKE_BINARY_DIR}/${self_test}")
  add_custom_command(
    OUTPUT ${self_test}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/link_image.py ${TAMBERLUNE_LLD_LINK}
            /machine:${machine} /subsystem:efi_application /entry:SelfTestEntry /nodefaultlib
            /align:64 /filealign:64 /merge:.rdata=.data /Brepro /debug:none /opt:ref,icf
            /out:${self_test} ${objects} ${resource} ${TAMBERLUNE_SELF_TEST_OBJECT}
    DEPENDS ${objects} ${resource} ${TAMBERLUNE_SELF_TEST_OBJECT}
    COMMENT "Linking the self-test of ${name}"
    VERBATIM)
  set(TAMBERLUNE_SELF_TEST_${upper} ${self_test} PARENT_SCOPE)
endfunction()

# For both Windows targets: the firmware may start us with the
# floating-point and vector unit off (x86-64 U-Boot leaves SSE off), and one
# such instruction faults; and there is no __chkstk to probe the stack with.
set(TAMBERLUNE_WINDOWS_FLAGS -mgeneral-regs-only -mno-stack-arg-probe)
# Interrupt handlers run on our stack: nothing may live below the stack
# pointer (x86-64 has a red zone there unless told otherwise).
tamberlune_image(Tamberlune.efi x64 x86_64-unknown-windows ${CMAKE_BINARY_DIR}/image
                 ${TAMBERLUNE_WINDOWS_FLAGS} -mno-red-zone)
tamberlune_image(TamberluneAA64.efi arm64 aarch64-unknown-windows ${CMAKE_BINARY_DIR}/image-aa64
                 ${TAMBERLUNE_WINDOWS_FLAGS})

# RISC-V 64: rv64imac has no floating-point or vector unit to touch; the code
# model and PIE let the image run wherever the firmware loads it, and
# -mno-relax keeps ld.lld from rewriting the code the converter copies.
set(folder ${CMAKE_BINARY_DIR}/image-riscv64)
tamberlune_objects(TamberluneRISCV64.efi riscv64-unknown-elf ${folder}
                   -march=rv64imac -mabi=lp64 -mcmodel=medany -fPIE -mno-relax)
set(TAMBERLUNE_IMAGE_RISCV64 ${CMAKE_BINARY_DIR}/TamberluneRISCV64.efi)
add_custom_command(
  OUTPUT ${folder}/HelpResource.bin
  COMMAND make_help_resource --machine raw ${folder}/HelpResource.bin
  DEPENDS make_help_resource
  COMMENT "Generating the help resource for TamberluneRISCV64.efi"
  VERBATIM)
add_custom_command(
  OUTPUT ${TAMBERLUNE_IMAGE_RISCV64}
  COMMAND ${TAMBERLUNE_LD_LLD} -pie --no-dynamic-linker -z norelro --gc-sections --build-id=none
          -T ${CMAKE_SOURCE_DIR}/cmake/riscv64.ld -o ${folder}/Tamberlune.elf ${TAMBERLUNE_OBJECTS}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/elf_to_pe.py ${folder}/Tamberlune.elf
          ${folder}/HelpResource.bin ${TAMBERLUNE_IMAGE_RISCV64}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/image_sizes.py ${TAMBERLUNE_IMAGE_RISCV64}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/stack_budget.py ${folder}
  DEPENDS ${TAMBERLUNE_OBJECTS} ${folder}/HelpResource.bin ${CMAKE_SOURCE_DIR}/cmake/riscv64.ld
          ${CMAKE_SOURCE_DIR}/cmake/elf_to_pe.py
  COMMENT "Linking and converting TamberluneRISCV64.efi"
  VERBATIM)

tamberlune_self_test_object(riscv64-unknown-elf ${folder}
                            -march=rv64imac -mabi=lp64 -mcmodel=medany -fPIE -mno-relax)
set(TAMBERLUNE_SELF_TEST_RISCV64 ${CMAKE_BINARY_DIR}/TamberluneSelfTestRISCV64.efi)
add_custom_command(
  OUTPUT ${TAMBERLUNE_SELF_TEST_RISCV64}
  COMMAND ${TAMBERLUNE_LD_LLD} -pie --no-dynamic-linker -z norelro --gc-sections --build-id=none
          -e SelfTestEntry -T ${CMAKE_SOURCE_DIR}/cmake/riscv64.ld -o ${folder}/SelfTest.elf
          ${TAMBERLUNE_OBJECTS} ${TAMBERLUNE_SELF_TEST_OBJECT}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/elf_to_pe.py ${folder}/SelfTest.elf
          ${folder}/HelpResource.bin ${TAMBERLUNE_SELF_TEST_RISCV64}
  DEPENDS ${TAMBERLUNE_OBJECTS} ${TAMBERLUNE_SELF_TEST_OBJECT} ${folder}/HelpResource.bin
          ${CMAKE_SOURCE_DIR}/cmake/riscv64.ld ${CMAKE_SOURCE_DIR}/cmake/elf_to_pe.py
  COMMENT "Linking and converting the self-test of TamberluneRISCV64.efi"
  VERBATIM)

set(TAMBERLUNE_IMAGE ${TAMBERLUNE_IMAGE_X64})
add_custom_target(image ALL DEPENDS ${TAMBERLUNE_IMAGE_X64} ${TAMBERLUNE_IMAGE_ARM64}
                                    ${TAMBERLUNE_IMAGE_RISCV64})
# The self-test images, outside the product and its size budget.
add_custom_target(self_test_images ALL DEPENDS ${TAMBERLUNE_SELF_TEST_X64} ${TAMBERLUNE_SELF_TEST_ARM64}
                                               ${TAMBERLUNE_SELF_TEST_RISCV64})
