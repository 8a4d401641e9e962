# Cross-compiles the Windows program from Debian with mingw-w64: 64-bit with
# g++-mingw-w64-x86-64-posix; cmake/mingw-w64-i686.cmake sets the 32-bit
# triple first. The executable is linked statically, so it needs no DLL
# beside it, and with no time stamp in its header, so that two builds of the
# same sources are the same bytes.
if(NOT SKELVANE_MINGW)
  set(SKELVANE_MINGW x86_64-w64-mingw32)
endif()
string(REGEX REPLACE "-.*" "" arch ${SKELVANE_MINGW})
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${arch})

set(CMAKE_C_COMPILER ${SKELVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKELVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${SKELVANE_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SKELVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
# Release builds are stripped by the linker: strip would write the time of
# the day into the header again.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT -s)
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT -s)
