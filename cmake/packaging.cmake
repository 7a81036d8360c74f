# Installation and packages. Included last from the top-level CMakeLists.txt.
include(GNUInstallDirs)

if(WIN32)
  # A zip to unpack anywhere: the program, what it does, and the licence, as
  # text with CRLF line ends (the Notepad of Windows 9x shows LF-only files
  # as one line).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(TARVOPROBE_WINDOWS "32-bit Windows")
    set(TARVOPROBE_RUNS_ON "every 32-bit Windows from Windows NT 3.1 and Windows 95 on,
and on 64-bit Windows, with any x86 processor from the 386 on")
    set(TARVOPROBE_VIRTUAL_STORE "Where a standard user may not write to the Windows directory (Windows Vista
and later), Windows puts the file in the user's VirtualStore folder
instead: %LOCALAPPDATA%\\VirtualStore\\Windows\\tarvo.ini.")
  else()
    set(TARVOPROBE_WINDOWS "64-bit Windows")
    set(TARVOPROBE_RUNS_ON "64-bit Windows on x86-64, from Windows XP Professional x64
Edition and Windows Server 2003 on")
    set(TARVOPROBE_VIRTUAL_STORE "Windows redirects the writes of 32-bit programs only: where a standard user
may not write to the Windows directory, this program records nothing. The
32-bit build records in the user's VirtualStore folder instead.")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/cmake/README-windows.txt.in ${PROJECT_SOURCE_DIR}/LICENSE)
  file(READ cmake/README-windows.txt.in readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  file(READ LICENSE licence)
  foreach(text readme licence)
    string(REPLACE "\n" "\r\n" ${text} "${${text}}")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/LICENSE.txt "${licence}")
  install(TARGETS tarvoprobe RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  install(TARGETS tarvoprobe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # strip keeps the compiler's .comment, which Debian's own tools drop too.
  if(CMAKE_OBJCOPY)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:tarvoprobe>\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")
  endif()

  # Debian's layout: man page and changelog compressed, without name or date
  # in the gzip header (-n) so that packages repeat bit for bit.
  find_program(TARVOPROBE_GZIP gzip REQUIRED)
  configure_file(man/tarvoprobe.1.in tarvoprobe.1 @ONLY)
  configure_file(cmake/changelog changelog COPYONLY)
  foreach(doc tarvoprobe.1 changelog)
    execute_process(COMMAND ${TARVOPROBE_GZIP} -9n -c ${PROJECT_BINARY_DIR}/${doc}
      OUTPUT_FILE ${PROJECT_BINARY_DIR}/${doc}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()

  # LICENSE in Debian's machine-readable copyright format: one paragraph for
  # all files, the grant indented, blank lines as " .".
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  file(READ LICENSE licence)
  string(FIND "${licence}" "Permission is hereby granted" grant_start)
  if(NOT licence MATCHES "(^|\n)Copyright \\(c\\) ([^\n]+)\n" OR grant_start EQUAL -1)
    message(FATAL_ERROR "LICENSE is no longer the MIT text that the copyright file is made from")
  endif()
  set(copyright_holder ${CMAKE_MATCH_2})
  string(SUBSTRING "${licence}" ${grant_start} -1 grant)
  string(STRIP "${grant}" grant)
  string(REPLACE "\n" "\n " grant " ${grant}")
  string(REPLACE "\n \n" "\n .\n" grant "${grant}")
  file(CONFIGURE OUTPUT copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tarvoprobe

Files: *
Copyright: @copyright_holder@
License: Expat
@grant@
")

  install(FILES ${PROJECT_BINARY_DIR}/tarvoprobe.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME tarvoprobe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})  # all four parts
set(CPACK_PACKAGE_VENDOR "tarvoprobe developers")
# A placeholder at a domain reserved for examples: whoever hands packages out
# names themselves, -DCPACK_PACKAGE_CONTACT="Name <address>".
set(CPACK_PACKAGE_CONTACT "tarvoprobe developers <tarvoprobe@example.org>"
    CACHE STRING "Maintainer named in the Debian package (the default is a placeholder: set yours)")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "records whether the processor can toggle its ID flag")
set(CPACK_PACKAGE_DESCRIPTION
    "Each run tests whether software can toggle the ID flag (bit 21) of the x86\n\
flags register, records yes or no under System/ZorvaneOrBetter in tarvo.ini,\n\
and exits with status 1.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# The Windows programs are linked without symbols; strip would only stamp
# the time of packaging into their header.
if(NOT WIN32)
  set(CPACK_STRIP_FILES ON)
endif()
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
