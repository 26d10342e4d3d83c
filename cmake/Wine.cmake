# Windows programs of a cross build run here under wine64: CTest's cross-compiling emulator is a
# small script made for this build tree (build-win64/wine-run), which keeps the tree's own wine
# prefix (build-win64/wine-prefix, made on first use). Wine here runs 64-bit programs only (the
# kernel runs no 32-bit code), so a 32-bit build gets no emulator: its tests are built, not run.

if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    message(STATUS "Windows ${CMAKE_SYSTEM_PROCESSOR} programs cannot run here: "
                   "their tests are built, not run")
    return()
endif()

find_program(QUORVANE_WINE64 wine64 PATHS /usr/lib/wine)
find_program(QUORVANE_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine)
if(NOT QUORVANE_WINE64 OR NOT QUORVANE_WINESERVER)
    message(WARNING "wine64 not found (apt install wine wine64): the Windows tests cannot run")
    return()
endif()

# Wine's own fonts (Debian's fonts-wine), which every prefix gets; the cross toolchain's search
# root does not apply to them.
find_path(QUORVANE_WINE_FONTS marlett.ttf PATHS /usr/share/wine/fonts NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT QUORVANE_WINE_FONTS)
    message(WARNING "Wine's fonts not found (apt install fonts-wine): windows under wine will "
                    "miss the caption buttons' glyphs")
endif()

set(QUORVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
