# SPDX-License-Identifier: MIT
# cmake --install build --prefix DIR, and cpack -G DEB in build/: the images
# for a firmware's boot partition, the boot flow's listings and script, the
# host tools with their manual pages, and the documents. Either builds what it
# holds and nothing more (not the tests).
include(GNUInstallDirs)

# The release's date is the one CHANGELOG.md gives its version.
file(STRINGS ${CMAKE_SOURCE_DIR}/CHANGELOG.md TAMBERLUNE_RELEASE
     REGEX "^## ${PROJECT_VERSION} \\([0-9]+-[0-9]+-[0-9]+\\)$")
if(NOT TAMBERLUNE_RELEASE)
  message(FATAL_ERROR "CHANGELOG.md has no heading \"## ${PROJECT_VERSION} (YYYY-MM-DD)\" for this version")
endif()
string(REGEX REPLACE ".*\\((.*)\\)$" "\\1" TAMBERLUNE_RELEASE_DATE "${TAMBERLUNE_RELEASE}")

set(CPACK_PACKAGE_CONTACT "Tamberlune developers <maintainers@tamberlune.invalid>")
set(documents ${CMAKE_BINARY_DIR}/package)

# The installed shell commands: tools/disk.sh and tools/sign.sh as they are,
# in share/tamberlune/tools beside install-deps.sh, with the code and tables
# they share in lib/ and app/ as in a checkout; bin/ links to them as
# tamberlune-disk and tamberlune-sign. A file "version" in share/tamberlune
# tells them they are installed, beside the images. A stage in the build
# tree holds them as installed, for their manual pages.
set(TAMBERLUNE_COMMAND_LIBRARY lib/command.sh lib/output_file.py lib/make_disk.py
    lib/interrupts.py lib/machines.py lib/machines.json lib/boards.py app/boot_choices.json)
set(TAMBERLUNE_COMMAND_TOOLS tools/disk.sh tools/sign.sh tools/install-deps.sh)
set(stage ${documents}/stage)
set(shared ${CMAKE_INSTALL_DATADIR}/tamberlune)
file(WRITE ${stage}/${shared}/version "${PROJECT_VERSION}\n")
foreach(file IN LISTS TAMBERLUNE_COMMAND_LIBRARY TAMBERLUNE_COMMAND_TOOLS)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${file})
  get_filename_component(room ${file} DIRECTORY)
  file(COPY ${CMAKE_SOURCE_DIR}/${file} DESTINATION ${stage}/${shared}/${room})
endforeach()
set(TAMBERLUNE_INSTALLED_COMMANDS)
file(MAKE_DIRECTORY ${stage}/${CMAKE_INSTALL_BINDIR})
foreach(command disk sign)
  file(RELATIVE_PATH link /${CMAKE_INSTALL_BINDIR} /${shared}/tools/${command}.sh)
  file(CREATE_LINK ${link} ${stage}/${CMAKE_INSTALL_BINDIR}/tamberlune-${command} SYMBOLIC)
  list(APPEND TAMBERLUNE_INSTALLED_COMMANDS ${stage}/${CMAKE_INSTALL_BINDIR}/tamberlune-${command})
endforeach()

# The manual pages, by help2man from each command's --help and --version, so
# a page never says other than its command; dated by the release and
# gzipped without a name or time, so two builds agree.
find_program(TAMBERLUNE_HELP2MAN help2man)
if(NOT TAMBERLUNE_HELP2MAN)
  message(FATAL_ERROR "help2man is missing: apt-get install --no-install-recommends help2man")
endif()
execute_process(COMMAND date -u -d "${TAMBERLUNE_RELEASE_DATE}" +%s OUTPUT_VARIABLE release_epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(tamberlune-inspect_name "print what a UEFI loader and a shell find in an image")
set(tamberlune-sim_name "run Tamberlune's own code against a firmware stand-in on this terminal")
set(tamberlune-disk_name "write a bootable disk image from the installed Tamberlune images")
set(tamberlune-sign_name "sign a Tamberlune image for UEFI Secure Boot")
set(TAMBERLUNE_COMMANDS tamberlune-disk tamberlune-sign tamberlune-inspect tamberlune-sim)
set(TAMBERLUNE_MAN_PAGES)
foreach(tool IN LISTS TAMBERLUNE_COMMANDS)
  if(TARGET ${tool})
    set(program $<TARGET_FILE:${tool}>)
  else()
    set(program ${stage}/${CMAKE_INSTALL_BINDIR}/${tool})
  endif()
  # SEE ALSO: the other commands, and the package's README.
  set(others ${TAMBERLUNE_COMMANDS})
  list(REMOVE_ITEM others ${tool})
  list(TRANSFORM others APPEND " (1)")
  list(JOIN others ",\n.BR " see_also)
  file(WRITE ${documents}/${tool}.h2m "[SEE ALSO]\n.BR ${see_also}\n.PP\nThe README of the tamberlune package.\n")
  add_custom_command(
    OUTPUT ${documents}/${tool}.1.gz
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${release_epoch}
            ${TAMBERLUNE_HELP2MAN} --no-info --name ${${tool}_name} --include ${documents}/${tool}.h2m
            --output ${documents}/${tool}.1 ${program}
    COMMAND gzip -9nf ${documents}/${tool}.1
    DEPENDS ${program} ${documents}/${tool}.h2m
    COMMENT "Writing the manual page of ${tool} from its --help"
    VERBATIM)
  list(APPEND TAMBERLUNE_MAN_PAGES ${documents}/${tool}.1.gz)
endforeach()
set(TAMBERLUNE_PACKAGE_FILES ${documents}/copyright ${documents}/changelog.gz ${documents}/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${TAMBERLUNE_PACKAGE_FILES}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/build-steps/package_files.py ${CMAKE_SOURCE_DIR}/LICENSE
          ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${PROJECT_VERSION} ${TAMBERLUNE_RELEASE_DATE}
          ${CPACK_PACKAGE_CONTACT} ${documents}
  DEPENDS ${CMAKE_SOURCE_DIR}/build-steps/package_files.py ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/CHANGELOG.md
  COMMENT "Writing the package's copyright and changelogs"
  VERBATIM)
add_custom_target(package_documents ALL DEPENDS ${TAMBERLUNE_MAN_PAGES} ${TAMBERLUNE_PACKAGE_FILES})

# Installing builds the targets it installs, not everything (the tests).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(held image boot_script tamberlune-inspect tamberlune-sim package_documents)
install(CODE "
  execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" --target ${held}
                  RESULT_VARIABLE built)
  if(NOT built EQUAL 0)
    message(FATAL_ERROR \"building what is installed failed\")
  endif()")
install(FILES ${TAMBERLUNE_IMAGES} ${TAMBERLUNE_BOOT_OPTIONS} ${TAMBERLUNE_BOOT_SCRIPT} ${TAMBERLUNE_SETUP_SCRIPT}
              ${TAMBERLUNE_BOOT_SOURCES}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tamberlune)
install(TARGETS tamberlune-inspect tamberlune-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The commands are links; the shared code's scripts run by them are
# executable, the sourced and imported ones are not.
install(FILES ${TAMBERLUNE_INSTALLED_COMMANDS} DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${TAMBERLUNE_COMMAND_TOOLS} DESTINATION ${shared}/tools)
install(FILES ${stage}/${shared}/version DESTINATION ${shared})
foreach(file IN LISTS TAMBERLUNE_COMMAND_LIBRARY)
  get_filename_component(room ${file} DIRECTORY)
  if(file MATCHES "(output_file.py|make_disk.py)$")
    install(PROGRAMS ${file} DESTINATION ${shared}/${room})
  else()
    install(FILES ${file} DESTINATION ${shared}/${room})
  endif()
endforeach()
install(FILES ${TAMBERLUNE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The installed README states this build's wait, and lists the images as the
# machine table does.
set(TAMBERLUNE_PACKAGE_IMAGES)
set(TAMBERLUNE_SIGN_EXAMPLE)
set(for "the image for")
foreach(name IN LISTS TAMBERLUNE_MACHINE_NAMES)
  set(file "share/tamberlune/Tamberlune${TAMBERLUNE_${name}_suffix}.efi")
  string(LENGTH "${file}" length)
  math(EXPR blanks "40 - ${length}")
  string(REPEAT " " ${blanks} blanks)
  string(APPEND TAMBERLUNE_PACKAGE_IMAGES "  ${file}${blanks}${for} ${TAMBERLUNE_${name}_title}\n")
  set(for "... for")
  # The signing example: an image for a machine whose U-Boot enforces Secure Boot.
  if(NOT TAMBERLUNE_SIGN_EXAMPLE AND TAMBERLUNE_${name}_secure_boot)
    set(TAMBERLUNE_SIGN_EXAMPLE "Tamberlune${TAMBERLUNE_${name}_suffix}.efi")
  endif()
endforeach()
configure_file(cmake/package/README.in ${documents}/README @ONLY)
install(FILES ${documents}/README ${TAMBERLUNE_PACKAGE_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tamberlune)

set(CPACK_PACKAGE_NAME tamberlune)
set(CPACK_PACKAGE_VENDOR "Tamberlune developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UEFI boot-key menu that records the chosen boot path")
# One string: a CMake list would put its separators into the text.
# The machines, as the machine table names them: "x86-64, ... and ARMv7".
set(titles)
foreach(name IN LISTS TAMBERLUNE_MACHINE_NAMES)
  list(APPEND titles "${TAMBERLUNE_${name}_title}")
endforeach()
list(POP_BACK titles last_title)
list(JOIN titles ", " TAMBERLUNE_MACHINE_TITLES)
string(APPEND TAMBERLUNE_MACHINE_TITLES " and ${last_title}")
# tamberlune_wrap(VARIABLE TEXT): TEXT in lines of at most 72 characters.
function(tamberlune_wrap variable text)
  string(REPLACE " " ";" words "${text}")
  set(wrapped)
  set(line)
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" length)
    if("${line}" STREQUAL "")
      set(line "${word}")
    elseif(length GREATER 72)
      string(APPEND wrapped "${line}\n")
      set(line "${word}")
    else()
      string(APPEND line " ${word}")
    endif()
  endforeach()
  set(${variable} "${wrapped}${line}" PARENT_SCOPE)
endfunction()
tamberlune_wrap(holds "The package holds the images for ${TAMBERLUNE_MACHINE_TITLES}, the boot option listings \
and the U-Boot boot script that act on the choice, the commands tamberlune-disk (a bootable disk from \
the images), tamberlune-sign (an image signed for Secure Boot), tamberlune-inspect and tamberlune-sim \
with their manual pages, and the documentation.")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Tamberlune is a small UEFI application: it shows a menu of boot keys, waits\n"
  "${TAMBERLUNE_WAIT_SECONDS} seconds for one and records the choice (PXE boot, boot-order\n"
  "reset, boot manager menu) in a volatile UEFI variable for later boot code.\n"
  ".\n"
  "${holds}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The host tools' library versions, as dpkg-shlibdeps reads them off the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What tamberlune-disk and tamberlune-sign run.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-pefile, mtools, sbsigntool, openssl")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
include(CPack)
