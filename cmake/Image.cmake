# SPDX-License-Identifier: MIT
# The image: Tamberlune.efi, a PE32+ EFI application for x86-64, compiled from
# the same sources as the host library with clang for a Windows target (whose
# convention is the UEFI one) and linked by lld-link.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(TAMBERLUNE_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16 REQUIRED)

set(TAMBERLUNE_IMAGE_FLAGS
  --target=x86_64-unknown-windows
  -std=c++20
  # Flash is scarce: the image is built for size (it must stay within 8 KiB).
  -Oz -fno-jump-tables
  -ffreestanding
  # No C++ runtime: no exceptions, RTTI or unwind tables in the image.
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  # The firmware may start us with SSE disabled; one XMM instruction faults.
  -mgeneral-regs-only
  # Interrupt handlers run on our stack: nothing may live below the stack pointer.
  -mno-red-zone
  # There is no __chkstk, and no stack guard to feed.
  -mno-stack-arg-probe -fno-stack-protector
  # One section per function and object, so the linker drops what nothing uses
  # (memcpy and memset stay out unless the compiler calls them).
  -ffunction-sections -fdata-sections
  # Per-function stack usage (.su beside each object) for the stack budget.
  -fstack-usage
  -Wall -Wextra -Werror
  ${TAMBERLUNE_PREFIX_MAP}
  -I${CMAKE_SOURCE_DIR}/include -I${CMAKE_SOURCE_DIR}/print
)

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/image)
set(TAMBERLUNE_IMAGE_OBJECTS)
foreach(source IN LISTS TAMBERLUNE_SOURCES ITEMS app/ImageSupport.cpp)
  string(REPLACE "/" "_" object "${source}")
  set(object "${CMAKE_BINARY_DIR}/image/${object}.obj")
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_CXX_COMPILER} ${TAMBERLUNE_IMAGE_FLAGS} -MD -MF ${object}.d
            -c ${CMAKE_SOURCE_DIR}/${source} -o ${object}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source}
    DEPFILE ${object}.d
    COMMENT "Compiling ${source} for the image"
    VERBATIM)
  list(APPEND TAMBERLUNE_IMAGE_OBJECTS ${object})
endforeach()

# The help text's resource section, written by a generator built for the host.
add_executable(make_help_resource app/MakeHelpResource.cpp)
target_include_directories(make_help_resource PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/app)
target_compile_options(make_help_resource PRIVATE -Wall -Wextra -Werror)
set(TAMBERLUNE_RESOURCE_OBJECT "${CMAKE_BINARY_DIR}/image/HelpResource.obj")
add_custom_command(
  OUTPUT ${TAMBERLUNE_RESOURCE_OBJECT}
  COMMAND make_help_resource ${TAMBERLUNE_RESOURCE_OBJECT}
  DEPENDS make_help_resource
  COMMENT "Generating the help resource"
  VERBATIM)
list(APPEND TAMBERLUNE_IMAGE_OBJECTS ${TAMBERLUNE_RESOURCE_OBJECT})

set(TAMBERLUNE_IMAGE "${CMAKE_BINARY_DIR}/Tamberlune.efi")
add_custom_command(
  OUTPUT ${TAMBERLUNE_IMAGE}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/link_image.py ${TAMBERLUNE_LLD_LINK}
          /subsystem:efi_application /entry:ImageEntry /nodefaultlib
          # 64-byte sections and file alignment keep the image small;
          # link_image.py drops lld-link's warning that /align wants /driver,
          # which speaks of Windows' loader, not a UEFI one.
          /align:64 /filealign:64
          # Constants share .data: the image has code, data, resources and
          # relocations, in that order.
          /merge:.rdata=.data
          # No timestamp and no debug directory: two builds are byte-identical.
          /Brepro /debug:none /opt:ref,icf
          /out:${TAMBERLUNE_IMAGE} ${TAMBERLUNE_IMAGE_OBJECTS}
  # Say what the image weighs and how deep its stack goes; tests hold them to
  # 8 KiB and 4 KiB.
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/image_sizes.py ${TAMBERLUNE_IMAGE}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/stack_budget.py ${CMAKE_BINARY_DIR}/image
  DEPENDS ${TAMBERLUNE_IMAGE_OBJECTS}
  COMMENT "Linking Tamberlune.efi"
  VERBATIM)
add_custom_target(image ALL DEPENDS ${TAMBERLUNE_IMAGE})
