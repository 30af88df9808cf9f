# The parent side: frame-stream reader, its fuzzer, and the recorder.
add_executable(test_frame_stream test_frame_stream.cpp)
target_link_libraries(test_frame_stream PRIVATE zarn_frame_stream GTest::gtest_main)
gtest_discover_tests(test_frame_stream)

# libFuzzer comes with clang only; other compilers still build everything else.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(fuzz_frame_stream fuzz_frame_stream.cpp ${PROJECT_SOURCE_DIR}/tools/frame_stream.cpp)
  target_include_directories(fuzz_frame_stream PRIVATE ${PROJECT_SOURCE_DIR}/tools ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(fuzz_frame_stream PRIVATE -fsanitize=fuzzer,address,undefined
                                                   -fno-sanitize-recover=all)
  target_link_options(fuzz_frame_stream PRIVATE -fsanitize=fuzzer,address,undefined)
  set(ZARN_FUZZ_CORPUS ${CMAKE_CURRENT_BINARY_DIR}/fuzz_frame_stream_corpus)
  file(MAKE_DIRECTORY ${ZARN_FUZZ_CORPUS})
  add_test(NAME fuzz_frame_stream
           COMMAND fuzz_frame_stream -max_total_time=20 -rss_limit_mb=1024 -print_final_stats=1
                   ${ZARN_FUZZ_CORPUS})
endif()

if(NOT TARGET zarn-audio-record)
  return()
endif()

# In process: the recorder's parts, and whole sessions on pipes to the scripted helper.
add_executable(test_recording test_recording.cpp)
target_link_libraries(test_recording PRIVATE zarn_record Threads::Threads GTest::gmock
                                             GTest::gtest_main)
target_compile_definitions(test_recording PRIVATE ZARN_SIM="$<TARGET_FILE:zarn-audio-sim>")
add_dependencies(test_recording zarn-audio-sim)
gtest_discover_tests(test_recording)

# The recorder as users run it: beside the real helper on a private sound server, into sox, and
# in a pty. The sound servers are Linux ones.
if(NOT APPLE)
  add_executable(test_record test_record.cpp)
  target_link_libraries(test_record PRIVATE zarn_test_support zarn_frame_stream util
                                            PkgConfig::ZARN_SNDFILE GTest::gmock GTest::gtest_main)
  target_compile_definitions(test_record PRIVATE
    ZARN_RECORDER="$<TARGET_FILE:zarn-audio-record>"
    ZARN_SIM="$<TARGET_FILE:zarn-audio-sim>"
    ZARN_SOUND_SERVER="${PROJECT_SOURCE_DIR}/scripts/sound-server")
  add_dependencies(test_record zarn-audio-record zarn-audio zarn-audio-sim)
  gtest_discover_tests(test_record PROPERTIES TIMEOUT 120)
endif()
