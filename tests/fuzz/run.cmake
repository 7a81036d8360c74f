# Builds the fuzzing target with clang in BINARY and runs it: RUNS inputs
# from the seed corpus (the golden files) on, or for SECONDS when given.
# Usage: cmake -DBINARY=dir [-DRUNS=n | -DSECONDS=s] -P tests/fuzz/run.cmake
get_filename_component(source "${CMAKE_CURRENT_LIST_DIR}" ABSOLUTE)
find_program(CLANGXX NAMES clang++ clang++-14 clang++-15 clang++-16)
if(NOT CLANGXX)
  message("SKIPPED: the fuzzing target needs clang++ (apt-get install clang libclang-rt-dev)")
  return()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${source} -B ${BINARY} -DCMAKE_CXX_COMPILER=${CLANGXX}
  RESULT_VARIABLE failed OUTPUT_QUIET)
if(NOT failed)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} -j2 RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "the fuzzing target did not build")
endif()

file(MAKE_DIRECTORY ${BINARY}/corpus)
if(SECONDS)
  set(limit -max_total_time=${SECONDS} -print_final_stats=1)
else()
  set(limit -runs=${RUNS} -seed=1)
endif()
# New inputs go to the first directory; the seeds stay as they are.
execute_process(COMMAND ${BINARY}/profile_fuzzer ${limit} -max_len=4096 -artifact_prefix=${BINARY}/ ${BINARY}/corpus
  ${source}/../platform/profile_cases RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the fuzzer found a fault (exit ${failed}); the input is in ${BINARY}")
endif()
