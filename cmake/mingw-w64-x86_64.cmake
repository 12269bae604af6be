# Cross toolchain: Debian's x86_64 mingw-w64 with POSIX threads, everything linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)

get_filename_component(_zelt_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(ZELT_DEPS_PREFIX "${_zelt_top}/build/deps/mingw" CACHE PATH "cross-built libzip and expat")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${ZELT_DEPS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${_zelt_top}/scripts/wine-run")
