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
set(TAMBERLUNE_MAN_PAGES)
foreach(tool tamberlune-inspect tamberlune-sim)
  add_custom_command(
    OUTPUT ${documents}/${tool}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${documents}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/man_page.py $<TARGET_FILE:${tool}>
            ${TAMBERLUNE_RELEASE_DATE} ${documents}/${tool}.1.gz
    DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/cmake/man_page.py
    COMMENT "Writing the manual page of ${tool} from its --help"
    VERBATIM)
  list(APPEND TAMBERLUNE_MAN_PAGES ${documents}/${tool}.1.gz)
endforeach()
set(TAMBERLUNE_PACKAGE_FILES ${documents}/copyright ${documents}/changelog.gz ${documents}/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${TAMBERLUNE_PACKAGE_FILES}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/package_files.py ${CMAKE_SOURCE_DIR}/LICENSE
          ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${PROJECT_VERSION} ${TAMBERLUNE_RELEASE_DATE}
          ${CPACK_PACKAGE_CONTACT} ${documents}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/package_files.py ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/CHANGELOG.md
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
install(FILES ${TAMBERLUNE_IMAGES} ${TAMBERLUNE_BOOT_OPTIONS} ${TAMBERLUNE_BOOT_SCRIPT} boot/boot.cmd
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tamberlune)
install(TARGETS tamberlune-inspect tamberlune-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TAMBERLUNE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES cmake/package/README ${TAMBERLUNE_PACKAGE_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tamberlune)

set(CPACK_PACKAGE_NAME tamberlune)
set(CPACK_PACKAGE_VENDOR "Tamberlune developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UEFI boot-key menu that records the chosen boot path")
# One string: a CMake list would put its separators into the text.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Tamberlune is a small UEFI application: it shows a menu of boot keys, waits\n"
  "${TAMBERLUNE_WAIT_SECONDS} seconds for one and records the choice (PXE boot, boot-order\n"
  "reset, boot manager menu) in a volatile UEFI variable for later boot code.\n"
  ".\n"
  "The package holds the images for x86-64, AArch64, RISC-V 64, 32-bit x86\n"
  "and ARMv7, the boot option listings and the U-Boot boot script that act\n"
  "on the choice, the host tools tamberlune-inspect and tamberlune-sim with\n"
  "their manual pages, and the documentation.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The host tools' library versions, as dpkg-shlibdeps reads them off the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
include(CPack)
