# 32-bit Windows programs, built with Debian's mingw-w64 (cmake --preset win32).
set(QUORVANE_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
