# SPDX-License-Identifier: MIT
# The machine table (lib/machines.json) for the build and the tests:
# TAMBERLUNE_MACHINE_NAMES (x64, ...), TAMBERLUNE_BOOT_NAMES (each machine's
# boots: its own and any other, such as riscv64-smode or a board's),
# TAMBERLUNE_BOARD_NAMES (the boots on a board's own U-Boot), and per machine
# NAME TAMBERLUNE_<NAME>_<FIELD> for its fields (a JSON list as a CMake
# list), TAMBERLUNE_BOOT_<BOOT> its machine's name; TAMBERLUNE_UBOOT_RELEASES
# and TAMBERLUNE_UBOOT_SUITES side by side.
set(TAMBERLUNE_MACHINE_TABLE ${CMAKE_SOURCE_DIR}/lib/machines.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAMBERLUNE_MACHINE_TABLE})
file(READ ${TAMBERLUNE_MACHINE_TABLE} table)

# tamberlune_json_indexes(VARIABLE JSON KEY...): the indexes of the JSON
# list at KEY... (none for an empty one). Its items are read by index: a
# JSON text may hold the semicolons and brackets that split a CMake list.
function(tamberlune_json_indexes variable json)
  set(indexes)
  string(JSON length LENGTH "${json}" ${ARGN})
  if(length GREATER 0)
    math(EXPR last "${length} - 1")
    foreach(index RANGE ${last})
      list(APPEND indexes ${index})
    endforeach()
  endif()
  set(${variable} "${indexes}" PARENT_SCOPE)
endfunction()

# tamberlune_json_value(VARIABLE JSON KEY...): the value at KEY..., a JSON
# list of strings made a CMake list.
function(tamberlune_json_value variable json)
  string(JSON type TYPE "${json}" ${ARGN})
  string(JSON value GET "${json}" ${ARGN})
  if(type STREQUAL "ARRAY")
    set(value)
    tamberlune_json_indexes(indexes "${json}" ${ARGN})
    foreach(index IN LISTS indexes)
      string(JSON item GET "${json}" ${ARGN} ${index})
      list(APPEND value "${item}")
    endforeach()
  endif()
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()

set(TAMBERLUNE_MACHINE_NAMES)
set(TAMBERLUNE_BOOT_NAMES)
set(TAMBERLUNE_BOARD_NAMES)
tamberlune_json_indexes(machines "${table}" machines)
foreach(machine IN LISTS machines)
  string(JSON name GET "${table}" machines ${machine} name)
  list(APPEND TAMBERLUNE_MACHINE_NAMES ${name})
  foreach(field title suffix objects linker target flags budget secure_boot)
    tamberlune_json_value(TAMBERLUNE_${name}_${field} "${table}" machines ${machine} ${field})
  endforeach()
  tamberlune_json_indexes(boots "${table}" machines ${machine} boots)
  foreach(boot IN LISTS boots)
    string(JSON boot_name GET "${table}" machines ${machine} boots ${boot} name)
    list(APPEND TAMBERLUNE_BOOT_NAMES ${boot_name})
    set(TAMBERLUNE_BOOT_${boot_name} ${name})
    # A board's own U-Boot build.
    string(JSON board ERROR_VARIABLE no_board GET "${table}" machines ${machine} boots ${boot} board)
    if(NOT no_board)
      list(APPEND TAMBERLUNE_BOARD_NAMES ${boot_name})
    endif()
  endforeach()
endforeach()

# Machines.h: what the host tools (the inspector, the resource writer) know
# of each machine's PE and COFF types.
set(TAMBERLUNE_MACHINE_FACTS)
foreach(machine IN LISTS machines)
  foreach(field name linker pe_machine pe_machine_title linker_machine linker_machine_title addr32nb)
    string(JSON ${field} ERROR_VARIABLE absent GET "${table}" machines ${machine} ${field})
    if(absent)
      set(${field} 0)
    endif()
  endforeach()
  # TAMBERLUNE_LINKER_<LINKER>_retype: the type the link step writes over
  # the one its linker wrote (LINKER=UEFI), where they differ.
  set(TAMBERLUNE_LINKER_${linker}_retype)
  if(linker_machine EQUAL 0)
    set(linker_machine ${pe_machine})
    set(linker_machine_title ${pe_machine_title})
  else()
    set(TAMBERLUNE_LINKER_${linker}_retype "${linker_machine}=${pe_machine}")
  endif()
  string(APPEND TAMBERLUNE_MACHINE_FACTS "\n    {\"${name}\", \"${linker}\", ${pe_machine}, \"${pe_machine_title}\", "
         "${linker_machine}, \"${linker_machine_title}\", ${addr32nb}},")
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/cmake/Machines.h.in ${TAMBERLUNE_GENERATED}/Machines.h @ONLY)

set(TAMBERLUNE_UBOOT_RELEASES)
set(TAMBERLUNE_UBOOT_SUITES)
tamberlune_json_indexes(releases "${table}" uboot)
foreach(release IN LISTS releases)
  string(JSON version GET "${table}" uboot ${release} release)
  string(JSON suite GET "${table}" uboot ${release} suite)
  list(APPEND TAMBERLUNE_UBOOT_RELEASES ${version})
  list(APPEND TAMBERLUNE_UBOOT_SUITES ${suite})
endforeach()
