# Runs one lumhost command line and checks its exit code and its output
# (standard output and standard error together):
#   cmake -DCODE=N -DOUTPUT=REGEX -P host_cli.cmake [EMULATOR] LUMHOST [ARGS...]
# EMULATOR is "native" for native programs.
set(command)
set(take OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(take)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} MATCHES "host_cli\\.cmake$")
    set(take ON)
  endif()
endforeach()
list(GET command 0 emulator)
list(REMOVE_AT command 0)
if(NOT emulator STREQUAL "native")
  list(PREPEND command ${emulator})
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out
                INPUT_FILE ${CMAKE_CURRENT_LIST_FILE} TIMEOUT 60)
message("${out}exit code: ${code}")
if(NOT code STREQUAL "${CODE}")
  message(FATAL_ERROR "expected exit code ${CODE}")
endif()
if(NOT out MATCHES "${OUTPUT}")
  message(FATAL_ERROR "expected output matching: ${OUTPUT}")
endif()
