# Configures and builds this project (or another) in a build directory of its
# own, for a CTest fixture: cmake -DSOURCE= -DBINARY= -DTOOLCHAIN= [-DARGS=a|b] [-DPREFIX=install-dir] -P subbuild.cmake
string(REPLACE "|" ";" ARGS "${ARGS}")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} --toolchain ${TOOLCHAIN} ${ARGS}
                RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} -j2 RESULT_VARIABLE failed)
endif()
if(NOT failed AND PREFIX)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY} --prefix ${PREFIX} RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "building ${BINARY} failed")
endif()
