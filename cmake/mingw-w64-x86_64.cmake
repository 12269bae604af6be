# Cross toolchain: Debian's x86_64 mingw-w64 GCC 12 with POSIX threads and GNU ld, everything
# linked statically. The second compiler of the Windows target (preset windows-gcc).
set(_zelt_compiler gcc)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)
