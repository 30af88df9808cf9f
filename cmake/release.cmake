# What `cmake --install` puts on a system, and the .deb that `cpack -G DEB` makes of it: the helper
# and the recorder in bin/ (the recorder finds the helper beside itself), their manual pages, the
# licence.
include(GNUInstallDirs)

set(ZARN_PROGRAMS zarn-audio)
if(TARGET zarn-audio-record)
  list(APPEND ZARN_PROGRAMS zarn-audio-record)
endif()
install(TARGETS ${ZARN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(page IN LISTS ZARN_PROGRAMS)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME zarn-audio)
set(CPACK_PACKAGE_VENDOR "the zarn-audio authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "streams the audio the computer is playing to a parent process")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "zarn-audio is a helper that a parent application starts as a child process to capture the\n"
  "system's audio: command bytes in, binary frames out. zarn-audio-record records through it\n"
  "to WAV, FLAC or Ogg.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the zarn-audio authors")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# Depends comes from the linked libraries (dpkg-shlibdeps). libpulse is loaded only when no
# PipeWire daemon answers, so the helper runs without it: a PipeWire desktop does not need it,
# and a PulseAudio one has it already (the server depends on it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libpulse0)
include(CPack)

# The package made and checked in a throwaway root: normal Linux builds only (a sanitizer build
# makes the same package of slower programs).
if(BUILD_TESTING AND ZARN_PLATFORM STREQUAL "linux" AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
  add_test(NAME deb_package
           COMMAND ${PROJECT_SOURCE_DIR}/tests/deb_package_test.sh ${PROJECT_BINARY_DIR}
                   ${PROJECT_VERSION})
  set_tests_properties(deb_package PROPERTIES TIMEOUT 120 LABELS release)
endif()
