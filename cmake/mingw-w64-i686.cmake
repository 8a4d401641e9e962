# The 32-bit Windows program (g++-mingw-w64-i686-posix).
set(SKELVANE_MINGW i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
