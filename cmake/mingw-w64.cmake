# Cross-builds zarn-audio.exe for 64-bit Windows with Debian's mingw-w64 (posix threads, which
# std::thread needs):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZARN_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARN_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZARN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libstdc++, libgcc and winpthread linked in, so the .exe needs only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
