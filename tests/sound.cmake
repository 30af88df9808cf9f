# The private sound-server script's own test, one group per server kind.
foreach(group pulseaudio pipewire failures)
  add_test(NAME sound_server_${group}
           COMMAND ${PROJECT_SOURCE_DIR}/tests/sound_server_test.sh ${group})
  set_tests_properties(sound_server_${group} PROPERTIES TIMEOUT 180)
endforeach()
