# Windows builds: the version record for each program, filled in from the
# project version.
enable_language(RC)
function(tarvoprobe_version_record target)
  set(PROGRAM ${target})
  # The 32-bit program is as much for 95, 98 and ME as for NT; 64-bit
  # Windows is NT alone.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(FILEOS VOS__WINDOWS32)
  else()
    set(FILEOS VOS_NT_WINDOWS32)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/src/platform/version.rc.in ${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
