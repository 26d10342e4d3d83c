# Cross-building for Windows with Debian's mingw-w64, shared by the x86_64 and i686 toolchain files
# (they set QUORVANE_MINGW_ARCH and include this).
#
# The -posix compilers: only their runtime has std::thread and std::mutex (googletest and the tests
# use them); the program's own worker runs on CreateThread either way.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUORVANE_MINGW_ARCH})

set(QUORVANE_MINGW_TRIPLE ${QUORVANE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone on a bare Windows: libgcc, libstdc++ and winpthreads are linked in,
# so nothing but the system's own DLLs (kernel32, user32, msvcrt, ...) is needed beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
