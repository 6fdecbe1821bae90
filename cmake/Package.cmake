# What makes the build a package: version resources, the import library for MSVC linkers, and the install
# tree (bin/, lib/, include/, lib/cmake/ZelvarSDK/, share/doc/ZelvarSDK/).

# zv_version_resource(target DESCRIPTION text): file and product version,
# description and names, from the project's version.
function(zv_version_resource target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  get_target_property(type ${target} TYPE)
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  set(ZV_RES_NAME ${output})
  if(type STREQUAL "EXECUTABLE")
    set(ZV_RES_FILE ${output}.exe)
    set(ZV_RES_TYPE VFT_APP)
  else()
    set(ZV_RES_FILE ${output}.dll)
    set(ZV_RES_TYPE VFT_DLL)
  endif()
  set(ZV_RES_DESCRIPTION "${ARG_DESCRIPTION}")
  set(ZV_RES_DOTS ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK})
  set(ZV_RES_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK})
  set(rc ${CMAKE_BINARY_DIR}/version-resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/VersionResource.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

zv_version_resource(ZelvarSDK DESCRIPTION "Zelvar Runtime SDK DLL")
zv_version_resource(zvcli DESCRIPTION "Zelvar SDK command-line client")
if(TARGET ZelvarSvr)
  zv_version_resource(ZelvarSvr DESCRIPTION "Zelvar authentication service (stand-in)")
  zv_version_resource(UpdaterService DESCRIPTION "Brennic updater service (stand-in)")
endif()
zv_version_resource(ZelvarSvrInproc DESCRIPTION "Zelvar authentication service, in-process host (stand-in)")
zv_version_resource(ZelvarSvrPS DESCRIPTION "Zelvar service event proxy/stub (stand-in)")
zv_version_resource(ZelvarDemo DESCRIPTION "Zelvar SDK demo client")

# An import library in the format of MSVC's linker (short import objects),
# made from the module definition.
find_program(ZV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(ZV_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/ZelvarSDK.lib)
if(ZV_ARCH STREQUAL "x86")
  set(ZV_DLLTOOL_ARGS -m i386 -k)
else()
  set(ZV_DLLTOOL_ARGS -m i386:x86-64)
endif()
add_custom_command(OUTPUT ${ZV_MSVC_IMPLIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
  COMMAND ${ZV_LLVM_DLLTOOL} ${ZV_DLLTOOL_ARGS} -d ${ZV_SDK_DEF} -l ${ZV_MSVC_IMPLIB}
  DEPENDS ${ZV_SDK_DEF}
  COMMENT "MSVC import library ZelvarSDK.lib")
add_custom_target(zelvarsdk_msvc_implib ALL DEPENDS ${ZV_MSVC_IMPLIB})

# The install tree. The 64-bit tree fills bin/ and lib/; the 32-bit tree adds
# its library, import libraries and zvcli in bin/x86/ and lib/x86/, and the
# service's 32-bit proxy/stub and in-process host in bin/x86/, where the
# 64-bit service's registration looks for them. Both trees installed into one
# prefix make the package for both widths.
if(ZV_ARCH STREQUAL "x86")
  set(ZV_BIN_DEST bin/x86)
  set(ZV_LIB_DEST lib/x86)
  set(ZV_INSTALLED_PROGRAMS zvcli ZelvarSvrInproc ZelvarSvrPS)
else()
  set(ZV_BIN_DEST bin)
  set(ZV_LIB_DEST lib)
  set(ZV_INSTALLED_PROGRAMS zvcli ZelvarSvr ZelvarSvrInproc ZelvarSvrPS)
endif()
install(TARGETS ZelvarSDK RUNTIME DESTINATION ${ZV_BIN_DEST} ARCHIVE DESTINATION ${ZV_LIB_DEST})
install(FILES ${ZV_MSVC_IMPLIB} DESTINATION ${ZV_LIB_DEST})
foreach(program IN LISTS ZV_INSTALLED_PROGRAMS)
  install(PROGRAMS $<TARGET_FILE:${program}> DESTINATION ${ZV_BIN_DEST})
endforeach()
# The debug information of the binaries: the PDB beside each one from Clang,
# the DLL's separated DWARF from GCC.
if(ZV_CLANG)
  foreach(binary IN ITEMS ZelvarSDK ${ZV_INSTALLED_PROGRAMS})
    install(FILES $<TARGET_FILE_DIR:${binary}>/$<TARGET_FILE_BASE_NAME:${binary}>.pdb DESTINATION ${ZV_BIN_DEST})
  endforeach()
else()
  install(FILES $<TARGET_FILE_DIR:ZelvarSDK>/ZelvarSDK.dll.debug DESTINATION ${ZV_BIN_DEST})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/src/SDK/interface/ZelvarSDK.h ${CMAKE_SOURCE_DIR}/src/SDK/interface/ZVTypes.h
  ${CMAKE_SOURCE_DIR}/src/SDK/interface/ZelvarSDK.hpp DESTINATION include)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ZelvarSDKConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
# The cross toolchains go with the package, for applications built on Linux.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/ZelvarSDKConfig.cmake ${CMAKE_BINARY_DIR}/ZelvarSDKConfigVersion.cmake
  ${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake ${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
  ${CMAKE_SOURCE_DIR}/cmake/mingw-w64-search.cmake
  DESTINATION lib/cmake/ZelvarSDK)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/ZelvarSDK)
