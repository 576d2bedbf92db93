# SPDX-License-Identifier: MIT
# The images: Tamberlune.efi for x86-64 and TamberluneAA64.efi for AArch64,
# PE32+ EFI applications compiled from the same sources as the host library
# with clang for a Windows target (whose conventions for the entry point are
# the UEFI ones) and linked by lld-link.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(TAMBERLUNE_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16 REQUIRED)

set(TAMBERLUNE_IMAGE_FLAGS
  -std=c++20
  # Flash is scarce: the images are built for size.
  -Oz -fno-jump-tables
  -ffreestanding
  # No C++ runtime: no exceptions, RTTI or unwind tables in the image.
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  # The firmware may start us with the floating-point and vector unit off
  # (x86-64 U-Boot leaves SSE off): one such instruction faults.
  -mgeneral-regs-only
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

# The help text's resource section, written by a generator built for the host.
add_executable(make_help_resource app/MakeHelpResource.cpp)
target_include_directories(make_help_resource PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/app)
target_compile_options(make_help_resource PRIVATE -Wall -Wextra -Werror)

# tamberlune_image(NAME MACHINE TARGET OBJECTS-FOLDER [FLAGS...]): compiles the
# sources for one machine (x64 or arm64, as lld-link names them) and links
# NAME, then prints its size and stack figures. Sets TAMBERLUNE_IMAGE_<MACHINE>.
function(tamberlune_image name machine target folder)
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
endfunction()

# Interrupt handlers run on our stack: nothing may live below the stack
# pointer (x86-64 has a red zone there unless told otherwise).
tamberlune_image(Tamberlune.efi x64 x86_64-unknown-windows ${CMAKE_BINARY_DIR}/image -mno-red-zone)
tamberlune_image(TamberluneAA64.efi arm64 aarch64-unknown-windows ${CMAKE_BINARY_DIR}/image-aa64)
set(TAMBERLUNE_IMAGE ${TAMBERLUNE_IMAGE_X64})
add_custom_target(image ALL DEPENDS ${TAMBERLUNE_IMAGE_X64} ${TAMBERLUNE_IMAGE_ARM64})
