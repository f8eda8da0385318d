# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The -posix compilers have std::thread and std::mutex; the win32-thread ones do not.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OLV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OLV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OLV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OLV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OLV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the .exe tests through Wine (via cmake/wine-run.sh, which keeps
# Wine's background processes off ctest's output pipes). Debian's `wine` script
# picks the 64-bit loader (/usr/lib/wine/wine64) when no 32-bit Wine is installed.
find_program(OLV_WINE NAMES wine wine64 PATHS /usr/lib/wine /opt/wine-stable/bin)
if(OLV_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR "/bin/sh;${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${OLV_WINE}")
endif()
