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
  configure_file(man/tarvoprobe.1.in tarvoprobe.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/tarvoprobe.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()

set(CPACK_PACKAGE_NAME tarvoprobe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})  # all four parts
set(CPACK_PACKAGE_VENDOR "tarvoprobe developers")
set(CPACK_PACKAGE_CONTACT "tarvoprobe developers <tarvoprobe@localhost>"
    CACHE STRING "Maintainer named in the Debian package")
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
