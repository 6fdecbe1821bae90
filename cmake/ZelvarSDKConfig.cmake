# find_package(ZelvarSDK CONFIG) gives the imported target ZelvarSDK::ZelvarSDK:
# ZelvarSDK.dll, its import library (the MSVC one for MSVC, the MinGW one
# otherwise), the headers (ZelvarSDK.h, ZVTypes.h and the C++17 layer
# ZelvarSDK.hpp) and the system libraries the headers need.
get_filename_component(_zv_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET ZelvarSDK::ZelvarSDK)
  if(MSVC)
    set(_zv_implib "${_zv_prefix}/lib/ZelvarSDK.lib")
  else()
    set(_zv_implib "${_zv_prefix}/lib/libZelvarSDK.dll.a")
  endif()
  add_library(ZelvarSDK::ZelvarSDK SHARED IMPORTED)
  set_target_properties(ZelvarSDK::ZelvarSDK PROPERTIES
    IMPORTED_LOCATION "${_zv_prefix}/bin/ZelvarSDK.dll"
    IMPORTED_IMPLIB "${_zv_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_zv_prefix}/include"
    INTERFACE_LINK_LIBRARIES "crypt32"
    INTERFACE_COMPILE_FEATURES "cxx_std_17")
  unset(_zv_implib)
endif()
set(ZelvarSDK_BIN_DIR "${_zv_prefix}/bin")
unset(_zv_prefix)
