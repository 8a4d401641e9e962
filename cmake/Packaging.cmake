# Installation (the program and its manual page) and the Debian package;
# on Windows, a ZIP of the program and the README.
if(WIN32)
  install(TARGETS skelvane RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  # skelvane-<version>-win64.zip (or -win32), with no folder inside.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

install(TARGETS skelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages are installed compressed, as Debian wants them; -n keeps the
# name and time stamp out, so the package is reproducible.
set(SKELVANE_MANPAGE ${PROJECT_BINARY_DIR}/skelvane.1.gz)
add_custom_command(
  OUTPUT ${SKELVANE_MANPAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/skelvane.1 skelvane.1
  COMMAND gzip -9 -n -f skelvane.1
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/skelvane.1
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
add_custom_target(manpage ALL DEPENDS ${SKELVANE_MANPAGE})
install(FILES ${SKELVANE_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# cpack -G DEB; the name and version come from project().
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "skelvane developers <skelvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack romfs images into a directory tree")
# Lines of at most 80 columns, as the control file wants them.
set(CPACK_PACKAGE_DESCRIPTION "\
skelvane recreates the whole tree of a romfs image (the ROM file system of
embedded Linux firmware) in a new directory: directories, regular files and
symbolic links, the links created last. It prints a trace of every entry with
its size and exec flag, never overwrites anything and never writes to the
image.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
