# SPDX-License-Identifier: MIT
# The images, one per machine of the machine table (lib/machines.json):
# Tamberlune<suffix>.efi, PE32+ EFI applications for the 64-bit machines and
# PE32 ones for the 32-bit machines, compiled from the same sources as the
# host library; beside each, BootOptions<suffix>.efi (the boot flow's
# listing), the self-test and the HII test, linked from the same objects. A
# machine whose linker lld-link knows is compiled with clang for a Windows
# target (whose conventions for the entry point are the UEFI ones) and linked
# by lld-link; RISC-V, which no linker here writes as PE, is linked as a
# position-independent ELF file and converted.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
# The build's Python steps (build-steps/) run with the code the commands
# share (lib/: the machine table's reader) within reach.
set(TAMBERLUNE_PYTHON_STEP ${CMAKE_COMMAND} -E env PYTHONPATH=${CMAKE_SOURCE_DIR}/lib ${Python3_EXECUTABLE})
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
add_executable(make_help_resource build-steps/MakeHelpResource.cpp)
target_include_directories(make_help_resource PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/app
                                                    ${CMAKE_SOURCE_DIR}/host ${TAMBERLUNE_GENERATED})
target_compile_definitions(make_help_resource PRIVATE TAMBERLUNE_VERSION="${PROJECT_VERSION}")
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
    set(report COMMAND ${TAMBERLUNE_PYTHON_STEP} ${CMAKE_SOURCE_DIR}/build-steps/image_sizes.py ${image}
               COMMAND ${TAMBERLUNE_PYTHON_STEP} ${CMAKE_SOURCE_DIR}/build-steps/stack_budget.py ${folder})
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
              -e ${entry} -T ${CMAKE_SOURCE_DIR}/build-steps/riscv64.ld -o ${elf} ${objects}
      COMMAND ${TAMBERLUNE_PYTHON_STEP} ${CMAKE_SOURCE_DIR}/build-steps/elf_to_pe.py ${elf} ${inputs} ${image}
      ${report}
      DEPENDS ${LINK_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/build-steps/riscv64.ld
              ${CMAKE_SOURCE_DIR}/build-steps/elf_to_pe.py
      COMMENT "Linking and converting ${name}"
      VERBATIM)
    return()
  endif()
  set(machine_options)
  set(retype)
  if(TAMBERLUNE_LINKER_${machine}_retype)
    set(retype --retype ${TAMBERLUNE_LINKER_${machine}_retype})
  endif()
  if(machine STREQUAL "x86")
    # No structured exception handling to register: the image has no handlers.
    set(machine_options /safeseh:no)
  endif()
  add_custom_command(
    OUTPUT ${image}
    COMMAND ${TAMBERLUNE_PYTHON_STEP} ${CMAKE_SOURCE_DIR}/build-steps/link_image.py ${retype} ${TAMBERLUNE_LLD_LINK}
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
    DEPENDS ${LINK_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/build-steps/link_image.py
    COMMENT "Linking ${name}"
    VERBATIM)
endfunction()

# tamberlune_images(NAME): every image for the machine NAME of the machine
# table: Tamberlune<suffix>.efi, BootOptions<suffix>.efi (the boot flow's
# listing), the self-test and the HII test, all from the same objects. Sets
# TAMBERLUNE_IMAGE_<NAME>, TAMBERLUNE_BOOT_OPTIONS_<NAME>,
# TAMBERLUNE_SELF_TEST_<NAME> and TAMBERLUNE_HII_TEST_<NAME>.
function(tamberlune_images name)
  set(suffix "${TAMBERLUNE_${name}_suffix}")
  set(machine ${TAMBERLUNE_${name}_linker})
  set(target ${TAMBERLUNE_${name}_target})
  set(folder ${CMAKE_BINARY_DIR}/${TAMBERLUNE_${name}_objects})
  set(flags ${TAMBERLUNE_${name}_flags})
  tamberlune_objects(Tamberlune${suffix}.efi ${target} ${folder} ${flags})
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
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:make_help_resource> --machine ${format} --for ${for} ${resource_${application}}
      DEPENDS make_help_resource
      COMMENT "Generating the help resource for ${application}${suffix}.efi"
      VERBATIM)
  endforeach()
  set(resource ${resource_Tamberlune})
  set(image "${CMAKE_BINARY_DIR}/Tamberlune${suffix}.efi")
  tamberlune_link(${image} ${machine} ImageEntry ${folder} ${objects} ${resource} REPORT)
  set(TAMBERLUNE_IMAGE_${name} ${image} PARENT_SCOPE)
  set(boot_options "${CMAKE_BINARY_DIR}/BootOptions${suffix}.efi")
  tamberlune_link(${boot_options} ${machine} BootOptionsEntry ${folder} ${objects} ${resource_BootOptions})
  set(TAMBERLUNE_BOOT_OPTIONS_${name} ${boot_options} PARENT_SCOPE)

  # The self-test image: the same objects and link, another entry point.
  set(self_test_object "${folder}/tests_SelfTest.cpp.obj")
  tamberlune_extra_object(tests/SelfTest.cpp ${self_test_object} ${target} ${flags})
  set(self_test "${CMAKE_BINARY_DIR}/TamberluneSelfTest${suffix}.efi")
  tamberlune_link(${self_test} ${machine} SelfTestEntry ${folder} ${objects} ${resource}
                  ${self_test_object})
  set(TAMBERLUNE_SELF_TEST_${name} ${self_test} PARENT_SCOPE)

  # The HII test image: reads Tamberlune's help back through the firmware's
  # HII protocols.
  set(hii_test_object "${folder}/tests_HiiTest.cpp.obj")
  tamberlune_extra_object(tests/HiiTest.cpp ${hii_test_object} ${target} ${flags})
  set(hii_test "${CMAKE_BINARY_DIR}/TamberluneHiiTest${suffix}.efi")
  tamberlune_link(${hii_test} ${machine} HiiTestEntry ${folder} ${objects} ${resource} ${hii_test_object})
  set(TAMBERLUNE_HII_TEST_${name} ${hii_test} PARENT_SCOPE)
endfunction()

# Each machine's target and flags, and why, are in the machine table.
foreach(name IN LISTS TAMBERLUNE_MACHINE_NAMES)
  tamberlune_images(${name})
endforeach()

# The boot flow's stand-in boot targets (tests/Payload.cpp), outside the
# product: build/payload/MACHINE/ROLE.efi prints "Tamberlune test payload: ROLE".
# The network boot file, the board's normal loader at the removable-media
# path, and the target of a Boot#### option.
set(TAMBERLUNE_PAYLOAD_ROLES network normal option)
function(tamberlune_payloads name)
  set(machine ${TAMBERLUNE_${name}_linker})
  set(folder ${CMAKE_BINARY_DIR}/payload/${name})
  file(MAKE_DIRECTORY ${folder})
  set(payloads)
  foreach(role IN LISTS TAMBERLUNE_PAYLOAD_ROLES)
    tamberlune_extra_object(tests/Payload.cpp ${folder}/${role}.obj ${TAMBERLUNE_${name}_target}
                            ${TAMBERLUNE_${name}_flags} "-DPAYLOAD_MARKER=u\"Tamberlune test payload: ${role}\"")
    # The converter wants a resource section; any will do.
    set(resource)
    if(machine STREQUAL "riscv64")
      set(resource ${CMAKE_BINARY_DIR}/${TAMBERLUNE_${name}_objects}/TamberluneHelp.bin)
    endif()
    tamberlune_link(${folder}/${role}.efi ${machine} PayloadEntry ${folder} ${folder}/${role}.obj ${resource})
    list(APPEND payloads ${folder}/${role}.efi)
  endforeach()
  set(TAMBERLUNE_PAYLOADS ${TAMBERLUNE_PAYLOADS} ${payloads} PARENT_SCOPE)
endfunction()
set(TAMBERLUNE_PAYLOADS)
set(TAMBERLUNE_IMAGES)
set(TAMBERLUNE_BOOT_OPTIONS)
set(TAMBERLUNE_SELF_TESTS)
foreach(name IN LISTS TAMBERLUNE_MACHINE_NAMES)
  tamberlune_payloads(${name})
  list(APPEND TAMBERLUNE_IMAGES ${TAMBERLUNE_IMAGE_${name}})
  list(APPEND TAMBERLUNE_BOOT_OPTIONS ${TAMBERLUNE_BOOT_OPTIONS_${name}})
  list(APPEND TAMBERLUNE_SELF_TESTS ${TAMBERLUNE_SELF_TEST_${name}} ${TAMBERLUNE_HII_TEST_${name}})
endforeach()
add_custom_target(payloads ALL DEPENDS ${TAMBERLUNE_PAYLOADS})
add_custom_target(image ALL DEPENDS ${TAMBERLUNE_IMAGES} ${TAMBERLUNE_BOOT_OPTIONS})
# The self-test images, outside the product and its size budget.
add_custom_target(self_test_images ALL DEPENDS ${TAMBERLUNE_SELF_TESTS})
