# The macOS capture service, compile-checked on any system with clang: its Objective-C++ sources
# are parsed against our own declarations of the frameworks they use (macos-sdk/), so a wrong
# selector, argument type, nullability or header fails the test run here, not only on a Mac.
# Probes of macos_probe_wrong_call.mm show that the same command rejects such mistakes.

# On a Mac the real frameworks compile the service, and their system headers would clash with
# these declarations.
if(APPLE)
  return()
endif()
find_program(ZARN_CLANGXX NAMES clang++ clang++-14 DOC "clang for the macOS compile check")
if(NOT ZARN_CLANGXX)
  message(STATUS "clang++ not found: the macOS compile check is not run")
  return()
endif()

set(ZARN_MACOS_CHECK
  ${ZARN_CLANGXX} -x objective-c++ -std=c++20 -fsyntax-only -fobjc-arc -fblocks
  -fobjc-runtime=macosx-15.0 -Wall -Wextra -Wpedantic -Werror
  -I ${CMAKE_CURRENT_SOURCE_DIR}/macos-sdk -I ${PROJECT_SOURCE_DIR}/src)

# Every source of the service, so a new file is checked as soon as it exists.
file(GLOB ZARN_MACOS_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/platform/screencapturekit/*.mm)
if(NOT ZARN_MACOS_SOURCES)
  message(FATAL_ERROR "no sources of the macOS capture service found to check")
endif()
foreach(source IN LISTS ZARN_MACOS_SOURCES)
  get_filename_component(name ${source} NAME_WE)
  add_test(NAME macos.compiles.${name} COMMAND ${ZARN_MACOS_CHECK} ${source})
endforeach()

set(ZARN_MACOS_PROBE ${CMAKE_CURRENT_SOURCE_DIR}/macos_probe_wrong_call.mm)
# Without a probe macro the file is correct: the rejections below are the probes' doing.
add_test(NAME macos.probe.correct_use_compiles COMMAND ${ZARN_MACOS_CHECK} ${ZARN_MACOS_PROBE})

# Probe macro, then the diagnostic that must reject it.
set(ZARN_MACOS_PROBES
  WRONG_SELECTOR
  "no visible @interface for 'SCStream' declares the selector 'addStreamOutput:type:sampleHandlerQueue:'"
  WRONG_LIST_TYPE
  "no matching function for call to 'CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer'"
  WRONG_PROPERTY_TYPE "no viable conversion from 'int' to 'CMTime'"
  INTEGER_FOR_ENUM "cannot initialize a parameter of type 'SCStreamOutputType'"
  WRONG_COMPLETION "cannot initialize a parameter of type 'void \\(\\^ _Nullable\\)\\(NSError"
  NIL_FOR_NONNULL "null passed to a callee that requires a non-null argument"
  DELEGATE_WITHOUT_PROTOCOL "sending 'NSObject \\*' to parameter of type 'id<SCStreamDelegate>"
  UNAVAILABLE_INIT "'init' is unavailable"
  RELEASE_FORMAT_DESCRIPTION "call to deleted function 'CFRelease'"
  RELEASE_SAMPLE_BUFFER "call to deleted function 'CFRelease'"
  MISSPELT_CALLBACK
  "method 'stream:didOutputSampleBuffer:ofType:' in protocol 'SCStreamOutput' not implemented"
  NON_UMBRELLA_IMPORT "'ScreenCaptureKit/SCStream.h' file not found")
while(ZARN_MACOS_PROBES)
  list(POP_FRONT ZARN_MACOS_PROBES probe expect)
  string(TOLOWER ${probe} name)
  add_test(NAME macos.probe.rejects_${name}
    COMMAND ${CMAKE_COMMAND} "-DEXPECT=${expect}" -P ${CMAKE_CURRENT_SOURCE_DIR}/macos_expect_rejected.cmake
            -- ${ZARN_MACOS_CHECK} -DZARN_PROBE_${probe} ${ZARN_MACOS_PROBE})
endwhile()
