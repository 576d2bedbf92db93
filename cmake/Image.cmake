# SPDX-License-Identifier: MIT
# The images: Tamberlune.efi for x86-64, TamberluneAA64.efi for AArch64 and
# TamberluneRISCV64.efi for RISC-V 64, PE32+ EFI applications, and
# TamberluneIA32.efi for 32-bit x86 and TamberluneARM.efi for ARMv7 (Thumb-2),
# PE32 ones, compiled from the same sources as the host library; beside each,
# BootOptions.efi (the boot flow's listing) and the self-test, linked from the
# same objects. All but RISC-V are compiled with clang for a Windows target
# (whose conventions for the entry point are the UEFI ones) and linked by lld-link;
# RISC-V, which no linker here writes as PE, is linked as a
# position-independent ELF file and converted.

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
  -I${CMAKE_SOURCE_DIR}/include -I${CMAKE_SOURCE_DIR}/print -I${TAMBERLUNE_GENERATED}
)

# The help text's resource section, written by a generator built for the host.
add_executable(make_help_resource cmake/MakeHelpResource.cpp)
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

# tamberlune_extra_object(SOURCE OBJECT TARGET [FLAGS...]): one more source,
# outside the shared list, compiled with the image's flags (the self-test,
# the boot-flow tests' payload).
function(tamberlune_extra_object source object target)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_CXX_COMPILER} --target=${target} ${TAMBERLUNE_IMAGE_FLAGS} ${ARGN}
            -I${CMAKE_SOURCE_DIR}/tests -I${CMAKE_SOURCE_DIR}/app -MD -MF ${object}.d
            -c ${CMAKE_SOURCE_DIR}/${source} -o ${object}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source}
    DEPFILE ${object}.d
    COMMENT "Compiling ${source} for ${target}"
    VERBATIM)
endfunction()

# tamberlune_link(IMAGE MACHINE ENTRY OBJECTS-FOLDER INPUTS... [REPORT]):
# links one image for MACHINE (x64, arm64, x86, arm or riscv64) with entry point ENTRY
# from INPUTS (objects, and the help resource: its .obj for lld-link, its
# .bin for RISC-V). With REPORT, says what the image weighs and how deep the
# stack in OBJECTS-FOLDER goes.
function(tamberlune_link image machine entry folder)
  cmake_parse_arguments(PARSE_ARGV 4 LINK "REPORT" "" "")
  set(report)
  if(LINK_REPORT)
    set(report COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${CMAKE_SOURCE_DIR}/tools
                       ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/image_sizes.py ${image}
               COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/stack_budget.py ${folder})
  endif()
  get_filename_component(name ${image} NAME)
  if(machine STREQUAL "riscv64")
    # The resource goes to the converter, the objects to ld.lld.
    set(inputs ${LINK_UNPARSED_ARGUMENTS})
    list(FILTER inputs INCLUDE REGEX "\\.bin$")
    set(objects ${LINK_UNPARSED_ARGUMENTS})
    list(FILTER objects EXCLUDE REGEX "\\.bin$")
    get_filename_component(stem ${image} NAME_WE)
    set(elf ${folder}/${stem}.elf)
    add_custom_command(
      OUTPUT ${image}
      COMMAND ${TAMBERLUNE_LD_LLD} -pie --no-dynamic-linker -z norelro --gc-sections --build-id=none
              -e ${entry} -T ${CMAKE_SOURCE_DIR}/cmake/riscv64.ld -o ${elf} ${objects}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/elf_to_pe.py ${elf} ${inputs} ${image}
      ${report}
      DEPENDS ${LINK_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/cmake/riscv64.ld
              ${CMAKE_SOURCE_DIR}/cmake/elf_to_pe.py
      COMMENT "Linking and converting ${name}"
      VERBATIM)
    return()
  endif()
  set(machine_options)
  if(machine STREQUAL "x86")
    # No structured exception handling to register: the image has no handlers.
    set(machine_options /safeseh:no)
  endif()
  add_custom_command(
    OUTPUT ${image}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/link_image.py ${TAMBERLUNE_LLD_LINK}
            /machine:${machine} ${machine_options} /subsystem:efi_application /entry:${entry} /nodefaultlib
            # 64-byte sections and file alignment keep the image small;
            # link_image.py drops lld-link's warning that /align wants /driver,
            # which speaks of Windows' loader, not a UEFI one.
            /align:64 /filealign:64
            # Constants share .data: the image has code, data, resources and
            # relocations, in that order.
            /merge:.rdata=.data
            # No timestamp and no debug directory: two builds are byte-identical.
            /Brepro /debug:none /opt:ref,icf
            /out:${image} ${LINK_UNPARSED_ARGUMENTS}
    ${report}
    DEPENDS ${LINK_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/cmake/link_image.py
    COMMENT "Linking ${name}"
    VERBATIM)
endfunction()

# tamberlune_images(SUFFIX MACHINE TARGET OBJECTS-FOLDER [FLAGS...]): every
# image for one machine: Tamberlune${SUFFIX}.efi, BootOptions${SUFFIX}.efi
# (the boot flow's listing) and the self-test, all from the same objects.
# Sets TAMBERLUNE_IMAGE_<MACHINE>, TAMBERLUNE_BOOT_OPTIONS_<MACHINE> and
# TAMBERLUNE_SELF_TEST_<MACHINE>.
function(tamberlune_images suffix machine target folder)
  tamberlune_objects(Tamberlune${suffix}.efi ${target} ${folder} ${ARGN})
  set(objects ${TAMBERLUNE_OBJECTS})
  # Each application carries its own help: Tamberlune's, and the listing's.
  foreach(application Tamberlune BootOptions)
    string(TOLOWER ${application} for)
    if(machine STREQUAL "riscv64")
      set(resource_${application} "${folder}/${application}Help.bin")
      set(format raw)
    else()
      set(resource_${application} "${folder}/${application}Help.obj")
      set(format ${machine})
    endif()
    add_custom_command(
      OUTPUT ${resource_${application}}
      COMMAND make_help_resource --machine ${format} --for ${for} ${resource_${application}}
      DEPENDS make_help_resource
      COMMENT "Generating the help resource for ${application}${suffix}.efi"
      VERBATIM)
  endforeach()
  set(resource ${resource_Tamberlune})
  string(TOUPPER ${machine} upper)
  set(image "${CMAKE_BINARY_DIR}/Tamberlune${suffix}.efi")
  tamberlune_link(${image} ${machine} ImageEntry ${folder} ${objects} ${resource} REPORT)
  set(TAMBERLUNE_IMAGE_${upper} ${image} PARENT_SCOPE)
  set(boot_options "${CMAKE_BINARY_DIR}/BootOptions${suffix}.efi")
  tamberlune_link(${boot_options} ${machine} BootOptionsEntry ${folder} ${objects} ${resource_BootOptions})
  set(TAMBERLUNE_BOOT_OPTIONS_${upper} ${boot_options} PARENT_SCOPE)

  # The self-test image: the same objects and link, another entry point.
  set(self_test_object "${folder}/tests_SelfTest.cpp.obj")
  tamberlune_extra_object(tests/SelfTest.cpp ${self_test_object} ${target} ${ARGN})
  set(self_test "${CMAKE_BINARY_DIR}/TamberluneSelfTest${suffix}.efi")
  tamberlune_link(${self_test} ${machine} SelfTestEntry ${folder} ${objects} ${resource}
                  ${self_test_object})
  set(TAMBERLUNE_SELF_TEST_${upper} ${self_test} PARENT_SCOPE)

  # The HII test image: reads Tamberlune's help back through the firmware's
  # HII protocols.
  set(hii_test_object "${folder}/tests_HiiTest.cpp.obj")
  tamberlune_extra_object(tests/HiiTest.cpp ${hii_test_object} ${target} ${ARGN})
  set(hii_test "${CMAKE_BINARY_DIR}/TamberluneHiiTest${suffix}.efi")
  tamberlune_link(${hii_test} ${machine} HiiTestEntry ${folder} ${objects} ${resource} ${hii_test_object})
  set(TAMBERLUNE_HII_TEST_${upper} ${hii_test} PARENT_SCOPE)
endfunction()

# For both Windows targets: the firmware may start us with the
# floating-point and vector unit off (x86-64 U-Boot leaves SSE off), and one
# such instruction faults; and there is no __chkstk to probe the stack with.
set(TAMBERLUNE_WINDOWS_FLAGS -mgeneral-regs-only -mno-stack-arg-probe)
# Interrupt handlers run on our stack: nothing may live below the stack
# pointer (x86-64 has a red zone there unless told otherwise).
set(TAMBERLUNE_X64_FLAGS ${TAMBERLUNE_WINDOWS_FLAGS} -mno-red-zone)
tamberlune_images("" x64 x86_64-unknown-windows ${CMAKE_BINARY_DIR}/image ${TAMBERLUNE_X64_FLAGS})
tamberlune_images(AA64 arm64 aarch64-unknown-windows ${CMAKE_BINARY_DIR}/image-aa64
                  ${TAMBERLUNE_WINDOWS_FLAGS})
# RISC-V 64: rv64imac has no floating-point or vector unit to touch; the code
# model and PIE let the image run wherever the firmware loads it, and
# -mno-relax keeps ld.lld from rewriting the code the converter copies.
set(TAMBERLUNE_RISCV64_FLAGS -march=rv64imac -mabi=lp64 -mcmodel=medany -fPIE -mno-relax)
tamberlune_images(RISCV64 riscv64 riscv64-unknown-elf ${CMAKE_BINARY_DIR}/image-riscv64
                  ${TAMBERLUNE_RISCV64_FLAGS})
# 32-bit x86: the Windows target's conventions are cdecl, the UEFI ones on IA32.
tamberlune_images(IA32 x86 i686-unknown-windows ${CMAKE_BINARY_DIR}/image-ia32 ${TAMBERLUNE_WINDOWS_FLAGS})
# ARMv7, Thumb-2: no VFP or NEON (-mfpu=none; the Windows target takes no
# soft-float ABI, and no call here passes a floating-point value), and
# addresses loaded from the literal pool rather than built by MOVW/MOVT,
# whose base relocation (type 7) U-Boot does not apply.
tamberlune_images(ARM arm thumbv7-unknown-windows ${CMAKE_BINARY_DIR}/image-arm
                  -mfpu=none -mno-movt -mno-stack-arg-probe)

# The boot flow's stand-in boot targets (boot/Payload.cpp), outside the
# product: build/payload/ARCH/ROLE.efi prints "Tamberlune test payload: ROLE".
# The network boot file, the board's normal loader at the removable-media
# path, and the target of a Boot#### option.
set(TAMBERLUNE_PAYLOAD_ROLES network normal option)
function(tamberlune_payloads arch machine target)
  set(folder ${CMAKE_BINARY_DIR}/payload/${arch})
  file(MAKE_DIRECTORY ${folder})
  set(payloads)
  foreach(role IN LISTS TAMBERLUNE_PAYLOAD_ROLES)
    tamberlune_extra_object(boot/Payload.cpp ${folder}/${role}.obj ${target} ${ARGN}
                            "-DPAYLOAD_MARKER=u\"Tamberlune test payload: ${role}\"")
    # The converter wants a resource section; any will do.
    set(resource)
    if(machine STREQUAL "riscv64")
      set(resource ${CMAKE_BINARY_DIR}/image-riscv64/TamberluneHelp.bin)
    endif()
    tamberlune_link(${folder}/${role}.efi ${machine} PayloadEntry ${folder} ${folder}/${role}.obj ${resource})
    list(APPEND payloads ${folder}/${role}.efi)
  endforeach()
  set(TAMBERLUNE_PAYLOADS ${TAMBERLUNE_PAYLOADS} ${payloads} PARENT_SCOPE)
endfunction()
set(TAMBERLUNE_PAYLOADS)
tamberlune_payloads(x64 x64 x86_64-unknown-windows ${TAMBERLUNE_X64_FLAGS})
tamberlune_payloads(aa64 arm64 aarch64-unknown-windows ${TAMBERLUNE_WINDOWS_FLAGS})
tamberlune_payloads(riscv64 riscv64 riscv64-unknown-elf ${TAMBERLUNE_RISCV64_FLAGS})
tamberlune_payloads(ia32 x86 i686-unknown-windows ${TAMBERLUNE_WINDOWS_FLAGS})
tamberlune_payloads(arm arm thumbv7-unknown-windows -mfpu=none -mno-movt -mno-stack-arg-probe)
add_custom_target(payloads ALL DEPENDS ${TAMBERLUNE_PAYLOADS})

set(TAMBERLUNE_IMAGE ${TAMBERLUNE_IMAGE_X64})
set(TAMBERLUNE_MACHINES X64 ARM64 RISCV64 X86 ARM)
set(TAMBERLUNE_IMAGES)
set(TAMBERLUNE_BOOT_OPTIONS)
set(TAMBERLUNE_SELF_TESTS)
foreach(machine IN LISTS TAMBERLUNE_MACHINES)
  list(APPEND TAMBERLUNE_IMAGES ${TAMBERLUNE_IMAGE_${machine}})
  list(APPEND TAMBERLUNE_BOOT_OPTIONS ${TAMBERLUNE_BOOT_OPTIONS_${machine}})
  list(APPEND TAMBERLUNE_SELF_TESTS ${TAMBERLUNE_SELF_TEST_${machine}} ${TAMBERLUNE_HII_TEST_${machine}})
endforeach()
add_custom_target(image ALL DEPENDS ${TAMBERLUNE_IMAGES} ${TAMBERLUNE_BOOT_OPTIONS})
# The self-test images, outside the product and its size budget.
add_custom_target(self_test_images ALL DEPENDS ${TAMBERLUNE_SELF_TESTS})
