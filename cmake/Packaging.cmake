# Installation (the program, its manual page and the licence) and the Debian
# package; on Windows, a ZIP of one folder for Windows users.
if(WIN32)
  # skelvane-<version>-win64 (or -win32), the ZIP's one folder: the program,
  # the licence, the manual page as HTML, a README and the page on what
  # differs on Windows, the texts with Windows line ends.
  install(TARGETS skelvane RUNTIME DESTINATION .)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(doc/windows-readme.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(doc/windows.md windows.md @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/LICENSE.txt ${PROJECT_BINARY_DIR}/README.txt
    ${PROJECT_BINARY_DIR}/windows.md DESTINATION .)
  # The manual page in HTML, without the comment where groff writes the time
  # of the rendering, so that every rendering of the page is the same bytes.
  # groff's HTML writer is in the package groff; groff-base has the command
  # groff alone.
  find_program(SKELVANE_GROFF groff)
  find_program(SKELVANE_GROHTML pre-grohtml)
  if(SKELVANE_GROFF AND SKELVANE_GROHTML)
    set(html ${PROJECT_BINARY_DIR}/skelvane.html)
    add_custom_command(
      OUTPUT ${html}
      COMMAND sh -c "\"$1\" -mandoc -Thtml \"$2\" >\"$3.in\" && sed '/^<!-- CreationDate:/d' \"$3.in\" >\"$3\"" sh
        ${SKELVANE_GROFF} ${PROJECT_SOURCE_DIR}/doc/skelvane.1 ${html}
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/skelvane.1
      VERBATIM)
    add_custom_target(manpage_html ALL DEPENDS ${html})
    install(FILES ${html} DESTINATION .)
  else()
    message(WARNING "groff's HTML writer not found (Debian package groff): the ZIP will lack skelvane.html")
  endif()
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # Not stripped here: strip puts a time stamp in the program's header. A
  # Release build is stripped when linked (cmake/mingw-w64.cmake).
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

# The licence as Debian wants it, in its machine-readable copyright format:
# LICENSE's copyright line and permission text (the MIT licence, which Debian
# calls Expat), the text indented and its empty lines written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${licence}")
set(copyright ${CMAKE_MATCH_1})
string(FIND "${licence}" "Permission is hereby granted" start)
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/copyright @ONLY CONTENT "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: skelvane

Files: *
Copyright: @copyright@
License: Expat
 @licence@
")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB; the name and version come from project().
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "skelvane developers <skelvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack romfs images into a directory tree")
# Lines of at most 80 columns, as the control file wants them.
set(CPACK_PACKAGE_DESCRIPTION "\
skelvane recreates the whole tree of a romfs image (the ROM file system of
embedded Linux firmware) in a new directory: directories, regular files and
symbolic links, the links created last; with --all hard links too, and device
files, sockets and FIFOs listed in the trace, never made. It prints a trace of
every entry with its size and exec flag, never overwrites anything and never
writes to the image. It scans a firmware file for the romfs images inside it
(--scan) and unpacks one from there (--offset auto).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
