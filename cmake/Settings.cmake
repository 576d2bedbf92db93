# SPDX-License-Identifier: MIT
# The build-time settings, checked here and handed to the sources (host
# library and images alike) as one generated header, BuildSettings.h. The
# defaults give the images as they have always been, byte for byte.
set(TAMBERLUNE_SETTINGS TAMBERLUNE_KEY_POLLS TAMBERLUNE_POLL_INTERVAL_US TAMBERLUNE_MODULE_NAME)
set(TAMBERLUNE_KEY_POLLS_DEFAULT 401)
set(TAMBERLUNE_POLL_INTERVAL_US_DEFAULT 10000)
set(TAMBERLUNE_MODULE_NAME_DEFAULT Tamberlune)
set(TAMBERLUNE_KEY_POLLS ${TAMBERLUNE_KEY_POLLS_DEFAULT} CACHE STRING
    "How many times the image polls for a key before it gives up (default ${TAMBERLUNE_KEY_POLLS_DEFAULT})")
set(TAMBERLUNE_POLL_INTERVAL_US ${TAMBERLUNE_POLL_INTERVAL_US_DEFAULT} CACHE STRING
    "Microseconds the image stalls after each poll that found no key (default ${TAMBERLUNE_POLL_INTERVAL_US_DEFAULT})")
set(TAMBERLUNE_MODULE_NAME ${TAMBERLUNE_MODULE_NAME_DEFAULT} CACHE STRING
    "The module name that assertion reports carry: printable ASCII, 1 to 32 characters (default ${TAMBERLUNE_MODULE_NAME_DEFAULT})")

foreach(setting TAMBERLUNE_KEY_POLLS TAMBERLUNE_POLL_INTERVAL_US)
  # Nine digits at the most keeps CMake's arithmetic (and UINTN) far from overflow.
  if(NOT ${setting} MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "${setting} takes a whole number from 1 to 999999999, not '${${setting}}'")
  endif()
endforeach()
# The firmware arms a five-minute watchdog before it starts an application
# (the UEFI boot manager and U-Boot alike) and resets the machine when it runs
# out. Each poll costs more than its stall: reading the key takes at most
# 50 us on an emulated machine; allowing 1 ms a poll, and 10 s for the rest
# of the run (the menu on a slow serial line), keeps any accepted wait clear
# of the watchdog however the two settings are mixed.
math(EXPR TAMBERLUNE_WAIT_LONGEST_MS "${TAMBERLUNE_KEY_POLLS} * (${TAMBERLUNE_POLL_INTERVAL_US} + 1000) / 1000")
if(TAMBERLUNE_WAIT_LONGEST_MS GREATER 290000)
  message(FATAL_ERROR "TAMBERLUNE_KEY_POLLS (${TAMBERLUNE_KEY_POLLS}) polls of TAMBERLUNE_POLL_INTERVAL_US "
                      "(${TAMBERLUNE_POLL_INTERVAL_US}) microseconds, allowing 1 ms a poll for reading the "
                      "key, can wait ${TAMBERLUNE_WAIT_LONGEST_MS} ms: the firmware's watchdog resets the "
                      "machine 300 s after it starts the image, so the wait must stay within 290 s")
endif()
# The wait as the tests and texts state it: seconds with two decimals.
math(EXPR TAMBERLUNE_WAIT_CENTISECONDS "${TAMBERLUNE_KEY_POLLS} * ${TAMBERLUNE_POLL_INTERVAL_US} / 10000")
math(EXPR TAMBERLUNE_WAIT_WHOLE "${TAMBERLUNE_WAIT_CENTISECONDS} / 100")
math(EXPR TAMBERLUNE_WAIT_HUNDREDTHS "${TAMBERLUNE_WAIT_CENTISECONDS} % 100 + 100")
string(SUBSTRING "${TAMBERLUNE_WAIT_HUNDREDTHS}" 1 2 TAMBERLUNE_WAIT_HUNDREDTHS)
set(TAMBERLUNE_WAIT_SECONDS "${TAMBERLUNE_WAIT_WHOLE}.${TAMBERLUNE_WAIT_HUNDREDTHS}")
math(EXPR whole_ms "${TAMBERLUNE_POLL_INTERVAL_US} % 1000")
if(whole_ms EQUAL 0)
  math(EXPR interval "${TAMBERLUNE_POLL_INTERVAL_US} / 1000")
  set(interval "${interval} ms")
else()
  set(interval "${TAMBERLUNE_POLL_INTERVAL_US} us")
endif()
set(TAMBERLUNE_WAIT_TEXT "${TAMBERLUNE_KEY_POLLS} polls of ${interval}, ${TAMBERLUNE_WAIT_SECONDS} s")
# The settings that differ from the defaults, for the build's summary.
set(TAMBERLUNE_SETTINGS_CHANGED)
foreach(setting IN LISTS TAMBERLUNE_SETTINGS)
  if(NOT "${${setting}}" STREQUAL "${${setting}_DEFAULT}")
    list(APPEND TAMBERLUNE_SETTINGS_CHANGED "${setting}=${${setting}}")
  endif()
endforeach()
string(LENGTH "${TAMBERLUNE_MODULE_NAME}" length)
if(length LESS 1 OR length GREATER 32 OR NOT TAMBERLUNE_MODULE_NAME MATCHES "^[ -~]+$")
  message(FATAL_ERROR "TAMBERLUNE_MODULE_NAME takes 1 to 32 printable ASCII characters, "
                      "not '${TAMBERLUNE_MODULE_NAME}'")
endif()
# As a C string literal.
string(REPLACE "\\" "\\\\" TAMBERLUNE_MODULE_NAME_C "${TAMBERLUNE_MODULE_NAME}")
string(REPLACE "\"" "\\\"" TAMBERLUNE_MODULE_NAME_C "${TAMBERLUNE_MODULE_NAME_C}")
set(TAMBERLUNE_GENERATED ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/BuildSettings.h.in ${TAMBERLUNE_GENERATED}/BuildSettings.h @ONLY)
# What the commands read of this tree: its wait and the settings that differ.
list(JOIN TAMBERLUNE_SETTINGS_CHANGED ", " changed)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/settings.txt
     CONTENT "wait_seconds=${TAMBERLUNE_WAIT_SECONDS}\nchanged=${changed}\n" @ONLY)
