# SPDX-License-Identifier: MIT
# The build-time settings, checked here and handed to the sources (host
# library and images alike) as one generated header, BuildSettings.h. The
# defaults give the images as they have always been, byte for byte.
set(TAMBERLUNE_KEY_POLLS 401 CACHE STRING
    "How many times the image polls for a key before it gives up (default 401)")
set(TAMBERLUNE_POLL_INTERVAL_US 10000 CACHE STRING
    "Microseconds the image stalls after each poll that found no key (default 10000)")
set(TAMBERLUNE_MODULE_NAME "Tamberlune" CACHE STRING
    "The module name that assertion reports carry: printable ASCII, 1 to 32 characters")

foreach(setting TAMBERLUNE_KEY_POLLS TAMBERLUNE_POLL_INTERVAL_US)
  # Nine digits at the most keeps CMake's arithmetic (and UINTN) far from overflow.
  if(NOT ${setting} MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "${setting} takes a whole number from 1 to 999999999, not '${${setting}}'")
  endif()
endforeach()
math(EXPR TAMBERLUNE_WAIT_SECONDS "${TAMBERLUNE_KEY_POLLS} * ${TAMBERLUNE_POLL_INTERVAL_US} / 1000000")
math(EXPR TAMBERLUNE_WAIT_REST "${TAMBERLUNE_KEY_POLLS} * ${TAMBERLUNE_POLL_INTERVAL_US} % 1000000")
if(TAMBERLUNE_WAIT_SECONDS GREATER 600 OR (TAMBERLUNE_WAIT_SECONDS EQUAL 600 AND TAMBERLUNE_WAIT_REST GREATER 0))
  message(FATAL_ERROR "TAMBERLUNE_KEY_POLLS (${TAMBERLUNE_KEY_POLLS}) polls of TAMBERLUNE_POLL_INTERVAL_US "
                      "(${TAMBERLUNE_POLL_INTERVAL_US}) microseconds wait ${TAMBERLUNE_WAIT_SECONDS} s: more "
                      "than ten minutes, which no boot should wait")
endif()
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
