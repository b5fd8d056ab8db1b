# Cross-building the Windows program on Debian with MinGW-w64:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The compiler is Debian's g++-mingw-w64-x86-64-posix; the program is linked
# statically, so velxref.exe needs no MinGW DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELXREF_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELXREF_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELXREF_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELXREF_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELXREF_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
