# Tests of the capture stream and of sample forwarding on the scripted service, and of the
# service itself: in process where the calls matter, through zarn-audio-sim where frames and the
# exit status do.
foreach(name test_capture_stream test_sample_forwarding test_simulated_service)
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE zarn_core zarn_simulated zarn_test_support
                                        GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ZARN_AUDIO_SIM_PATH="$<TARGET_FILE:zarn-audio-sim>")
  add_dependencies(${name} zarn-audio-sim)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
endforeach()
