# SPDX-License-Identifier: MIT
# BootChoices.h, made of app/boot_choices.json: the menu, the vendor GUID and
# the boot choices as the image's code and the host tests read them; and the
# GUID and variable names the boot script is written with.
set(choices_file ${CMAKE_SOURCE_DIR}/app/boot_choices.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${choices_file})
file(READ ${choices_file} choices)

# The menu: its lines, each ended by a line feed.
set(TAMBERLUNE_MENU)
tamberlune_json_indexes(lines "${choices}" menu)
foreach(index IN LISTS lines)
  string(JSON line GET "${choices}" menu ${index})
  string(APPEND TAMBERLUNE_MENU "\n    u\"${line}\\n\"")
endforeach()

# The GUID as EFI_GUID's fields: 8-4-4-4-12 hexadecimal digits.
string(JSON guid GET "${choices}" vendor_guid)
string(REPLACE "-" "" digits "${guid}")
string(SUBSTRING "${digits}" 0 8 data1)
string(SUBSTRING "${digits}" 8 4 data2)
string(SUBSTRING "${digits}" 12 4 data3)
set(data4)
foreach(at RANGE 16 30 2)
  string(SUBSTRING "${digits}" ${at} 2 byte)
  list(APPEND data4 "0x${byte}")
endforeach()
list(JOIN data4 ", " data4)
set(TAMBERLUNE_VENDOR_GUID "${guid}")
set(TAMBERLUNE_VENDOR_GUID_FIELDS "0x${data1}, 0x${data2}, 0x${data3}, {${data4}}")

# The data of every variable of ours: its UCS-2 text's bytes, no terminator.
string(JSON data GET "${choices}" data)
set(TAMBERLUNE_CHOICE_DATA)
string(LENGTH "${data}" length)
math(EXPR last "${length} - 1")
foreach(at RANGE ${last})
  string(SUBSTRING "${data}" ${at} 1 character)
  string(HEX "${character}" hex)
  list(APPEND TAMBERLUNE_CHOICE_DATA "0x${hex}" "0x00")
endforeach()
list(JOIN TAMBERLUNE_CHOICE_DATA ", " TAMBERLUNE_CHOICE_DATA)

# The once-a-boot mark.
string(JSON TAMBERLUNE_SHOWN_VARIABLE GET "${choices}" shown variable)

# The table, and each choice's variable and typed byte by its key for the
# boot script: TAMBERLUNE_CHOICE_VARIABLE_p, TAMBERLUNE_CHOICE_BYTE_p (0x70),
# ..., and all the variables in TAMBERLUNE_CHOICE_VARIABLES.
set(TAMBERLUNE_CHOICES)
set(TAMBERLUNE_CHOICE_VARIABLES)
set(TAMBERLUNE_CHOICE_LINES)
set(key_names)
# The longest confirmation (its line feed and NUL included) and variable
# name (its NUL): the table holds its texts in place.
set(TAMBERLUNE_CONFIRMATION_UNITS 0)
set(TAMBERLUNE_VARIABLE_UNITS 0)
tamberlune_json_indexes(indexes "${choices}" choices)
foreach(index IN LISTS indexes)
  foreach(field key typed character scan_code confirmation variable clears_boot_order called does)
    string(JSON ${field} GET "${choices}" choices ${index} ${field})
  endforeach()
  # The package README's line for it: the key, the variable, what it does.
  string(LENGTH "${called}" length)
  math(EXPR blanks "8 - ${length}")
  string(REPEAT " " ${blanks} after_key)
  string(LENGTH "${variable}" length)
  math(EXPR blanks "19 - ${length}")
  string(REPEAT " " ${blanks} after_variable)
  string(APPEND TAMBERLUNE_CHOICE_LINES "  ${called}${after_key}\"${variable}\"${after_variable}${does}\n")
  set(TAMBERLUNE_CHOICE_VARIABLE_${key} ${variable})
  list(APPEND key_names ${key})
  string(LENGTH "${confirmation}xx" units)
  if(units GREATER TAMBERLUNE_CONFIRMATION_UNITS)
    set(TAMBERLUNE_CONFIRMATION_UNITS ${units})
  endif()
  string(LENGTH "${variable}x" units)
  if(units GREATER TAMBERLUNE_VARIABLE_UNITS)
    set(TAMBERLUNE_VARIABLE_UNITS ${units})
  endif()
  string(HEX "${typed}" typed)
  set(clears FALSE)
  if(clears_boot_order)
    set(clears TRUE)
  endif()
  set(TAMBERLUNE_CHOICE_BYTE_${key} 0x${typed})
  string(APPEND TAMBERLUNE_CHOICE_VARIABLES " ${variable}")
  if(character STREQUAL "")
    set(character 0)
  else()
    set(character "u'${character}'")
  endif()
  string(APPEND TAMBERLUNE_CHOICES "\n    {${scan_code}, ${character}, u\"${confirmation}\\n\", u\"${variable}\", 0x${typed}, ${clears}},")
endforeach()
string(STRIP "${TAMBERLUNE_CHOICE_VARIABLES}" TAMBERLUNE_CHOICE_VARIABLES)
# The keys as a person names them (--key): "p, r, esc", and a C array of them.
list(JOIN key_names ", " TAMBERLUNE_CHOICE_KEYS)
list(JOIN key_names "\", \"" TAMBERLUNE_CHOICE_KEY_NAMES)
configure_file(${CMAKE_SOURCE_DIR}/cmake/BootChoices.h.in ${TAMBERLUNE_GENERATED}/BootChoices.h @ONLY)
