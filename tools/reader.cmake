# The parent side: the frame-stream reader library and the recorder.
add_library(zarn_frame_stream STATIC frame_stream.cpp)
# The wire format is the program's own header, shared with the parent side.
target_include_directories(zarn_frame_stream PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)

# The recorder needs libsndfile and libsoxr: always on Linux; on macOS only when they are there.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(ZARN_SNDFILE IMPORTED_TARGET GLOBAL sndfile)
  pkg_check_modules(ZARN_SOXR IMPORTED_TARGET GLOBAL soxr)
endif()
if(NOT (ZARN_SNDFILE_FOUND AND ZARN_SOXR_FOUND))
  if(NOT APPLE)
    message(FATAL_ERROR "zarn-audio-record needs libsndfile and libsoxr (libsndfile1-dev, libsoxr-dev)")
  endif()
  message(STATUS "libsndfile or libsoxr not found: zarn-audio-record is not built")
  return()
endif()

# Everything of the recorder but its command line and signals, so that tests drive it in process.
add_library(zarn_record STATIC
  record/options.cpp
  record/output.cpp
  record/samples.cpp
  record/audio_writer.cpp
  record/recording.cpp
  record/live_line.cpp
  record/helper_process.cpp
  record/session.cpp
)
target_include_directories(zarn_record PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/record)
target_link_libraries(zarn_record PUBLIC zarn_frame_stream PkgConfig::ZARN_SNDFILE
                                         PkgConfig::ZARN_SOXR)

add_executable(zarn-audio-record record/main.cpp)
target_link_libraries(zarn-audio-record PRIVATE zarn_record)
target_compile_definitions(zarn-audio-record PRIVATE ZARN_VERSION="${PROJECT_VERSION}")
# Beside zarn-audio, where it looks for the helper.
set_target_properties(zarn-audio-record PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/src)
