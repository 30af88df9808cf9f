# Tests of the capture service over the sound server's client library.
if(TARGET zarn_pulse)
  # The decisions about outputs, without a server.
  add_executable(test_pulse_outputs test_pulse_outputs.cpp)
  target_link_libraries(test_pulse_outputs PRIVATE zarn_pulse GTest::gtest_main)
  gtest_discover_tests(test_pulse_outputs)

  # The service's fragments through the core's sample handler, and the record stream's state
  # machine, without a server.
  foreach(name test_pulse_fragments test_pulse_record_machine)
    add_executable(${name} ${name}.cpp)
    # zarn_linux: the pulse service and the captureService() the core refers to.
    target_link_libraries(${name} PRIVATE zarn_core zarn_linux GTest::gtest_main)
    gtest_discover_tests(${name})
  endforeach()

  # The product on private PulseAudio and PipeWire servers that each test starts and stops.
  foreach(name test_pulse_capture test_pulse_follow)
    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE zarn_test_support zarn_frame_stream GTest::gmock
                                          GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE
      ZARN_AUDIO_PATH="$<TARGET_FILE:zarn-audio>"
      ZARN_SOUND_SERVER="${PROJECT_SOURCE_DIR}/scripts/sound-server")
    add_dependencies(${name} zarn-audio)
    gtest_discover_tests(${name} PROPERTIES TIMEOUT 60)
  endforeach()
endif()

