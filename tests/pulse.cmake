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
endif()

