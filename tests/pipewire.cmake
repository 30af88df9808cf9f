# Tests of the capture service over PipeWire's own protocol.
if(TARGET zarn_pipewire)
  # The stream's state handling and the mix-down to mono, without a server.
  add_executable(test_pipewire_phases test_pipewire_phases.cpp)
  target_link_libraries(test_pipewire_phases PRIVATE zarn_pipewire GTest::gtest_main)
  gtest_discover_tests(test_pipewire_phases)

  # The product on private PipeWire servers through the native service: the libpulse service's
  # server cases built once more for it (ZARN_NATIVE_PIPEWIRE picks the server kind), and the
  # session manager's faults. The case without any server is the libpulse build's alone.
  add_executable(test_pipewire_capture test_pulse_capture.cpp)
  add_executable(test_pipewire_follow test_pulse_follow.cpp)
  add_executable(test_pipewire_session test_pipewire_session.cpp)
  foreach(name test_pipewire_capture test_pipewire_follow test_pipewire_session)
    target_link_libraries(${name} PRIVATE zarn_test_support zarn_frame_stream GTest::gmock
                                          GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE ZARN_NATIVE_PIPEWIRE
      ZARN_AUDIO_PATH="$<TARGET_FILE:zarn-audio>"
      ZARN_SOUND_SERVER="${PROJECT_SOURCE_DIR}/scripts/sound-server")
    add_dependencies(${name} zarn-audio)
    gtest_discover_tests(${name} TEST_FILTER -PulseWithoutServer.* PROPERTIES TIMEOUT 60)
  endforeach()
endif()
