# Tests of the host channel: frame writer, command reader, capture object's arm state.

# Shared harness: runs a child on pipes and reads its frames with the parents' own reader.
add_library(zarn_test_support STATIC child_process.cpp)
target_include_directories(zarn_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(zarn_test_support PUBLIC zarn_frame_stream Threads::Threads)

# In-process: the frame writer on a pipe and the serial queue.
add_executable(test_frames test_frames.cpp)
target_link_libraries(test_frames PRIVATE zarn_core zarn_frame_stream GTest::gtest_main)
gtest_discover_tests(test_frames)

add_executable(test_serial_queue test_serial_queue.cpp)
target_link_libraries(test_serial_queue PRIVATE zarn_core GTest::gtest_main)
gtest_discover_tests(test_serial_queue)

if(TARGET zarn-audio-sim)
  # The arm state, in process on the scripted service, which records every call the core makes.
  add_executable(test_arm_state test_arm_state.cpp)
  target_link_libraries(test_arm_state PRIVATE zarn_core zarn_simulated zarn_test_support
                                               GTest::gtest_main)
  gtest_discover_tests(test_arm_state)

  # Process-level: the command reader of the real program, on the scripted service whose start
  # never completes, so only the reader writes frames.
  add_executable(test_commands test_commands.cpp)
  target_link_libraries(test_commands PRIVATE zarn_test_support GTest::gtest_main)
  target_compile_definitions(test_commands PRIVATE
    ZARN_AUDIO_SIM_PATH="$<TARGET_FILE:zarn-audio-sim>")
  add_dependencies(test_commands zarn-audio-sim)
  gtest_discover_tests(test_commands)
endif()
