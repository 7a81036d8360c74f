# Release hardening, reproducible output, installation and packages.
# Included last from the top-level CMakeLists.txt.
include(GNUInstallDirs)

# What ships; the tests link these too, which does no harm.
set(tarvoprobe_shipped tarvoprobe probe flags_register record)

# The same commit gives the same bytes wherever it is checked out and built.
foreach(target IN LISTS tarvoprobe_shipped)
  target_compile_options(${target} PRIVATE
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)  # last: wins when inside the source
endforeach()

if(WIN32)
  # ASLR and DEP; and no link time in the header, which would make every build differ.
  target_link_options(tarvoprobe PRIVATE
    LINKER:--dynamicbase LINKER:--nxcompat LINKER:--no-insert-timestamp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(tarvoprobe PRIVATE LINKER:--high-entropy-va)
  endif()
elseif(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
  # Debian's hardening set: PIE, stack protector, fortified libc calls, full RELRO.
  include(CheckPIESupported)
  check_pie_supported()
  foreach(target IN LISTS tarvoprobe_shipped)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_options(${target} PRIVATE -fstack-protector-strong -fno-exceptions)
    # Bounds-checked std::string; its code is then compiled here, not taken
    # from the runtime with the exception machinery that code depends on.
    target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2 _GLIBCXX_ASSERTIONS)
  endforeach()
  # A C++ runtime loaded at start costs ten times the program's own work (its
  # symbol binding and initialisers); linked in, only what is used comes along.
  target_link_options(tarvoprobe PRIVATE LINKER:-z,relro LINKER:-z,now
    -static-libstdc++ -static-libgcc)
  target_sources(tarvoprobe PRIVATE src/platform/quiet_runtime.cpp)
endif()

if(WIN32)
  # A zip to unpack anywhere: the program, what it does, and the licence.
  install(TARGETS tarvoprobe RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
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
    execute_process(COMMAND ${TARVOPROBE_GZIP} -9n -c ${CMAKE_BINARY_DIR}/${doc}
      OUTPUT_FILE ${CMAKE_BINARY_DIR}/${doc}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()

  # LICENSE in Debian's machine-readable copyright format: one paragraph for
  # all files, the grant indented, blank lines as " .".
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
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

  install(FILES ${CMAKE_BINARY_DIR}/tarvoprobe.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
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
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
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
