# The private sound-server script's own test, one per server kind.
foreach(kind pulseaudio pipewire)
  add_test(NAME sound_server_${kind} COMMAND ${PROJECT_SOURCE_DIR}/tests/sound_server_test.sh ${kind})
  set_tests_properties(sound_server_${kind} PROPERTIES TIMEOUT 180)
endforeach()
