# The part every cross toolchain file here shares (included by each, after it
# has set TOOLCHAIN_PREFIX): libraries and headers come from the mingw-w64
# tree of that prefix only, never from the build machine; programs are the
# build machine's; packages are found in the given prefixes as well (a
# consumer of the SDK's install tree passes it in CMAKE_PREFIX_PATH); built
# programs run through wine (tests and build-time helpers).
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
