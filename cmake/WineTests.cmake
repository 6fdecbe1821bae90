# Tests are Windows programs run through wine in the private prefix that
# tools/wine-prefix.sh creates inside the build tree.
set(ZV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Private wine prefix used by the tests")

# GoogleTest, built by the cross compiler.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# zv_add_gtest(name SOURCES... [LIBS ...] [TIMEOUT s] [LABELS label] [SERIAL])
# One executable, each of its tests a CTest test of its own, run in the
# private prefix with a time limit so that a hung COM session cannot stall CI.
# LABELS becomes the CTest label of every discovered test (tools/test.sh runs
# the tests labelled "kills_service" one by one, each with a fresh wineserver).
# A test also fails when its output shows a failed assertion or a crash:
# a crash while the process ends can leave the exit code at 0 under wine.
# SERIAL keeps every other test from running at the same time (for tests that
# change state the others rely on, such as the service's registration).
function(zv_add_gtest name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT;LABELS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set(label_properties)
  if(ARG_LABELS)
    set(label_properties LABELS ${ARG_LABELS})
  endif()
  # The discovered tests get their properties as one flat list of name/value
  # pairs, so no value may be a list itself: a list-valued ENVIRONMENT would
  # be split into pairs and take TIMEOUT and LABELS with it. The test
  # environment is therefore the prefix alone; tools/wine-run.sh sets the
  # rest of wine's variables.
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} gmock_main)
  set(serial)
  if(ARG_SERIAL)
    set(serial RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "WINEPREFIX=${ZV_WINEPREFIX}" TIMEOUT ${ARG_TIMEOUT} ${label_properties} ${serial}
      FAIL_REGULAR_EXPRESSION "FAILED TEST|Unhandled exception")
endfunction()
