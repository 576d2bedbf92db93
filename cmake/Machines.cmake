# SPDX-License-Identifier: MIT
# The machine table (lib/machines.json) for the build and the tests:
# TAMBERLUNE_MACHINE_NAMES (x64, ...), TAMBERLUNE_BOOT_NAMES (each machine's
# boots: its own and any other, such as riscv64-smode), and per machine
# NAME TAMBERLUNE_<NAME>_<FIELD> for its fields (a JSON list as a CMake
# list), TAMBERLUNE_BOOT_<BOOT> its machine's name; TAMBERLUNE_UBOOT_RELEASES
# and TAMBERLUNE_UBOOT_SUITES side by side.
set(TAMBERLUNE_MACHINE_TABLE ${CMAKE_SOURCE_DIR}/lib/machines.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAMBERLUNE_MACHINE_TABLE})
file(READ ${TAMBERLUNE_MACHINE_TABLE} table)

# tamberlune_json_value(VARIABLE JSON KEY...): the value at KEY..., a JSON
# list made a CMake list.
function(tamberlune_json_value variable json)
  string(JSON type TYPE "${json}" ${ARGN})
  string(JSON value GET "${json}" ${ARGN})
  if(type STREQUAL "ARRAY")
    set(list)
    string(JSON length LENGTH "${json}" ${ARGN})
    if(length GREATER 0)
      math(EXPR last "${length} - 1")
      foreach(index RANGE ${last})
        string(JSON item GET "${json}" ${ARGN} ${index})
        list(APPEND list "${item}")
      endforeach()
    endif()
    set(value "${list}")
  endif()
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()

set(TAMBERLUNE_MACHINE_NAMES)
set(TAMBERLUNE_BOOT_NAMES)
string(JSON machines LENGTH "${table}" machines)
math(EXPR last "${machines} - 1")
foreach(index RANGE ${last})
  string(JSON machine GET "${table}" machines ${index})
  string(JSON name GET "${machine}" name)
  list(APPEND TAMBERLUNE_MACHINE_NAMES ${name})
  foreach(field title suffix objects linker target flags budget secure_boot)
    tamberlune_json_value(TAMBERLUNE_${name}_${field} "${machine}" ${field})
  endforeach()
  string(JSON boots LENGTH "${machine}" boots)
  math(EXPR last_boot "${boots} - 1")
  foreach(boot RANGE ${last_boot})
    string(JSON boot_name GET "${machine}" boots ${boot} name)
    list(APPEND TAMBERLUNE_BOOT_NAMES ${boot_name})
    set(TAMBERLUNE_BOOT_${boot_name} ${name})
  endforeach()
endforeach()

set(TAMBERLUNE_UBOOT_RELEASES)
set(TAMBERLUNE_UBOOT_SUITES)
string(JSON releases LENGTH "${table}" uboot)
math(EXPR last "${releases} - 1")
foreach(index RANGE ${last})
  string(JSON release GET "${table}" uboot ${index} release)
  string(JSON suite GET "${table}" uboot ${index} suite)
  list(APPEND TAMBERLUNE_UBOOT_RELEASES ${release})
  list(APPEND TAMBERLUNE_UBOOT_SUITES ${suite})
endforeach()
