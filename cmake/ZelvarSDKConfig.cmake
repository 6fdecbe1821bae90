# find_package(ZelvarSDK CONFIG) gives the imported target ZelvarSDK::ZelvarSDK:
# ZelvarSDK.dll, its import library (the MSVC one for MSVC, the MinGW one
# otherwise), the headers (ZelvarSDK.h, ZVTypes.h and the C++17 layer
# ZelvarSDK.hpp) and the system libraries the headers need. The consumer's
# pointer width picks the library: the 64-bit one from bin/ and lib/, the
# 32-bit one from bin/x86/ and lib/x86/.
get_filename_component(_zv_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_zv_arch_dir "/x86")
else()
  set(_zv_arch_dir "")
endif()
if(NOT EXISTS "${_zv_prefix}/bin${_zv_arch_dir}/ZelvarSDK.dll")
  set(ZelvarSDK_FOUND FALSE)
  set(ZelvarSDK_NOT_FOUND_MESSAGE
    "this installation has no ${CMAKE_SIZEOF_VOID_P}-byte-pointer ZelvarSDK.dll (bin${_zv_arch_dir}/)")
  unset(_zv_prefix)
  unset(_zv_arch_dir)
  return()
endif()
if(NOT TARGET ZelvarSDK::ZelvarSDK)
  if(MSVC)
    set(_zv_implib "${_zv_prefix}/lib${_zv_arch_dir}/ZelvarSDK.lib")
  else()
    set(_zv_implib "${_zv_prefix}/lib${_zv_arch_dir}/libZelvarSDK.dll.a")
  endif()
  add_library(ZelvarSDK::ZelvarSDK SHARED IMPORTED)
  set_target_properties(ZelvarSDK::ZelvarSDK PROPERTIES
    IMPORTED_LOCATION "${_zv_prefix}/bin${_zv_arch_dir}/ZelvarSDK.dll"
    IMPORTED_IMPLIB "${_zv_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_zv_prefix}/include"
    INTERFACE_LINK_LIBRARIES "crypt32"
    INTERFACE_COMPILE_FEATURES "cxx_std_17")
  unset(_zv_implib)
endif()
set(ZelvarSDK_BIN_DIR "${_zv_prefix}/bin${_zv_arch_dir}")
unset(_zv_prefix)
unset(_zv_arch_dir)
