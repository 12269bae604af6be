# What both Windows cross toolchains share: the target, where the libraries that scripts/build-deps
# cross-builds with the same compiler lie, and how the Windows programs run here (under Wine).
# The including toolchain file sets _zelt_compiler first ("gcc" or "clang").
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

get_filename_component(_zelt_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(ZELT_DEPS_PREFIX "${_zelt_top}/build/deps/${_zelt_compiler}" CACHE PATH
    "zlib, libzip and expat, cross-built by this compiler")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${ZELT_DEPS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${_zelt_top}/scripts/wine-run")
