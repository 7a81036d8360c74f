# Checks a Windows executable's headers:
#   cmake -DOBJDUMP= -DEXE= -DFORMAT= -DSUBSYSTEM=major.minor -P check_pe.cmake
# It must be a graphical program of the given machine and subsystem version
# (4.0, the oldest, for 32-bit x86), that imports from KERNEL32.dll alone and only what Windows 95 and
# NT 3.51 already have: the start-up's four functions and the two profile
# functions.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]*" dlls "${headers}")
string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+  [A-Za-z0-9_]+" imports "${headers}")
list(TRANSFORM imports REPLACE "^.* " "")
list(SORT imports)
file(SIZE ${EXE} size)
message(STATUS "${EXE}: ${size} bytes, ${dlls}: ${imports}")
set(expected ExitProcess GetCommandLineA GetModuleHandleA GetPrivateProfileStringA GetStartupInfoA
  WritePrivateProfileStringA)
set(problems "")
if(NOT dlls STREQUAL "DLL Name: KERNEL32.dll")
  string(APPEND problems "imports from ${dlls}, not KERNEL32.dll alone\n")
endif()
if(NOT imports STREQUAL expected)
  string(APPEND problems "imports ${imports}, not ${expected}\n")
endif()
if(NOT headers MATCHES "file format ${FORMAT}\n")
  string(APPEND problems "not ${FORMAT}\n")
endif()
if(NOT headers MATCHES "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)")
  string(APPEND problems "not a Windows GUI program\n")
endif()
string(REPLACE "." "\nMinorSubsystemVersion\t" version "MajorSubsystemVersion\t${SUBSYSTEM}\n")
if(NOT headers MATCHES "${version}")
  string(APPEND problems "not for subsystem version ${SUBSYSTEM}\n")
endif()
if(problems)
  message(FATAL_ERROR "${EXE}:\n${problems}")
endif()
