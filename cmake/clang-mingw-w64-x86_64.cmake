# Cross build for 64-bit Windows with Clang and lld, against the same mingw-w64
# headers and import libraries and the same posix-thread libstdc++ as the GCC
# build (cmake/mingw-w64-x86_64.cmake). Debug information is CodeView, and lld
# writes a PDB beside every program and DLL that Windows debuggers read.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
# Resources are compiled by the mingw-w64 windres, as in the GCC build.
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")

# Clang's driver does not find the cross GCC's version folder ("12-posix"),
# and would fall back to the build machine's /usr/include. Every include path
# is therefore given: libstdc++ first, then Clang's own headers, then the
# mingw-w64 headers after both (where GCC has them too). Thread-local
# variables are emulated as GCC does, so that objects of both compilers and
# the GCC-built libstdc++ agree on them (std::call_once's state is one).
set(ZV_GCC_LIB_DIR /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix)
set(ZV_MINGW_INCLUDE /usr/${TOOLCHAIN_PREFIX}/include)
set(CMAKE_C_FLAGS_INIT "-nostdlibinc -idirafter ${ZV_MINGW_INCLUDE} -femulated-tls -gcodeview")
# GCC predefines how this target compares type_info (out of line, by name);
# Clang does not, and would otherwise compile libstdc++'s inline comparison,
# which then clashes with the out-of-line one in libstdc++.a when not inlined.
set(ZV_GCC_TYPEINFO_ABI "-D__GXX_TYPEINFO_EQUALITY_INLINE=0 -D__GXX_MERGED_TYPEINFO_NAMES=0")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -nostdlibinc -isystem ${ZV_GCC_LIB_DIR}/include/c++ \
-isystem ${ZV_GCC_LIB_DIR}/include/c++/${TOOLCHAIN_PREFIX} -idirafter ${ZV_MINGW_INCLUDE} ${ZV_GCC_TYPEINFO_ABI} \
-femulated-tls -gcodeview")
# lld links statically against libstdc++, libgcc and winpthreads (which
# libstdc++'s threads need). --pdb= writes NAME.pdb beside NAME.exe/NAME.dll;
# the debug directory names the PDB by its file name alone (no build path).
# CMake hands the compile flags to the link as well, where they do nothing.
set(ZV_CLANG_LINK_FLAGS "-Wno-unused-command-line-argument -fuse-ld=lld -static -pthread -L${ZV_GCC_LIB_DIR} -Wl,--pdb= -Wl,-Xlink=-pdbaltpath:%_PDB%")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZV_CLANG_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZV_CLANG_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZV_CLANG_LINK_FLAGS}")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-search.cmake)
