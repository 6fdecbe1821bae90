# Cross build of the library and its clients for 32-bit Windows with the
# mingw-w64 posix-thread compilers. Programs built here run through wine's
# 32-bit support (tests and build-time helpers).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-search.cmake)
