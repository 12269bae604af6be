# Cross toolchain: Debian's clang 16 and lld 16 for x86_64-w64-mingw32, against the mingw-w64
# headers and runtime and GCC 12's libstdc++, libgcc and winpthreads, everything linked statically.
# The compiler of the product (preset windows, the release): it writes CodeView debugging
# information and lld writes a PDB, which Windows debuggers and symbol servers read.
set(_zelt_compiler clang)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# /usr/bin/clang++-16 would take lld 14 through /usr/bin/ld.lld: every tool comes from LLVM 16's
# own folder.
set(_zelt_llvm /usr/lib/llvm-16/bin)
# clang does not take "12-posix" for a GCC version, so GCC's folders are named here.
set(_zelt_gcc /usr/lib/gcc/x86_64-w64-mingw32/12-posix)

set(CMAKE_C_COMPILER ${_zelt_llvm}/clang)
set(CMAKE_CXX_COMPILER ${_zelt_llvm}/clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR ${_zelt_llvm}/llvm-ar)
set(CMAKE_RANLIB ${_zelt_llvm}/llvm-ranlib)
set(CMAKE_NM ${_zelt_llvm}/llvm-nm)
set(CMAKE_OBJCOPY ${_zelt_llvm}/llvm-objcopy)
set(CMAKE_DLLTOOL ${_zelt_llvm}/llvm-dlltool)

set(_zelt_cxx_headers "-isystem ${_zelt_gcc}/include/c++"
    "-isystem ${_zelt_gcc}/include/c++/x86_64-w64-mingw32"
    "-isystem ${_zelt_gcc}/include/c++/backward")
list(JOIN _zelt_cxx_headers " " _zelt_cxx_headers)
set(CMAKE_CXX_FLAGS_INIT "${_zelt_cxx_headers}")
# Debugging information as CodeView, without the compiler's command line (it names the build's
# folders): the project and scripts/build-deps add these where they compile.
set(ZELT_CODEVIEW_FLAGS -gcodeview -gno-codeview-command-line)
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=${_zelt_llvm}/ld.lld -L${_zelt_gcc} -pthread")
endforeach()
# The compiler driver adds every folder of LIBRARY_PATH to the link, and lld records its command
# line in the PDB: the link runs without it, so neither a machine's folders nor its libraries get in.
set(CMAKE_C_LINKER_LAUNCHER env -u LIBRARY_PATH)
set(CMAKE_CXX_LINKER_LAUNCHER env -u LIBRARY_PATH)
