# Windows builds: the version record for each program, filled in from the
# project version.
enable_language(RC)
function(tarvoprobe_version_record target)
  set(PROGRAM ${target})
  configure_file(${PROJECT_SOURCE_DIR}/src/platform/version.rc.in ${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
