# 64-bit Windows programs, built with Debian's mingw-w64 (cmake --preset win64).
set(QUORVANE_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
