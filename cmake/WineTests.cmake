# Windows-side tests: real binaries driven under Wine, in a prefix of this
# build folder's own that the fixture below creates fresh and stops at the end.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

set(OLVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# Whether this machine can run the binaries of this build at all (a kernel
# without 32-bit support cannot run the 32-bit Wine loader).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_loader /usr/lib/wine/wine64)
else()
  set(_loader /usr/lib/wine/wine)
endif()
execute_process(COMMAND ${_loader} --version RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
if(_rc EQUAL 0)
  set(OLVEX_CAN_RUN ON)
else()
  set(OLVEX_CAN_RUN OFF)
  message(STATUS "This machine cannot run ${_loader}: only the static checks are registered")
endif()

if(OLVEX_CAN_RUN)
  add_test(NAME wine.prefix.start
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix start ${OLVEX_WINEPREFIX})
  add_test(NAME wine.prefix.stop
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix stop ${OLVEX_WINEPREFIX})
  set_tests_properties(wine.prefix.start PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine.prefix.stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# olvex_wine_test(NAME target [ARGS ...]): one ctest entry running `target`
# under Wine in the run's prefix. Tests share the prefix's registry and kernel
# namespace, so they run one at a time.
function(olvex_wine_test name target)
  if(NOT OLVEX_CAN_RUN)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${target} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK wineprefix
    LABELS wine
    TIMEOUT 300
    ENVIRONMENT "WINEPREFIX=${OLVEX_WINEPREFIX};WINEDEBUG=-all")
endfunction()
