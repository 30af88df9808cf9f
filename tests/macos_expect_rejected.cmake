# Runs the compile command given after "--" and passes only if the compiler rejects the source
# (non-zero exit) with a diagnostic matching EXPECT. A rejection without that diagnostic fails, so
# a probe that breaks by accident cannot pass for the mistake it is meant to show.
#   cmake -DEXPECT=<regex> -P macos_expect_rejected.cmake -- <compiler> <arguments...>
set(command)
set(collecting FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(index RANGE ${last})
  if(collecting)
    list(APPEND command "${CMAKE_ARGV${index}}")
  elseif(CMAKE_ARGV${index} STREQUAL "--")
    set(collecting TRUE)
  endif()
endforeach()
if(NOT command OR NOT DEFINED EXPECT)
  message(FATAL_ERROR "usage: cmake -DEXPECT=<regex> -P macos_expect_rejected.cmake -- <command>")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0)
  message(FATAL_ERROR "accepted, but should have been rejected with: ${EXPECT}\n${out}${err}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT}")
  message(FATAL_ERROR "rejected (${status}), but not with: ${EXPECT}\n${out}${err}")
endif()
message(STATUS "rejected as expected: ${EXPECT}")
