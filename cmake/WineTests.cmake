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

# Every Wine entry runs through cmake/wine-check, which passes it only on the
# program's own proof that it finished (under Wine a crashed program can exit
# 0), stops it after OLVEX_WINE_TIMEOUT seconds, and unplugs whatever keys it
# left so that they never reach the next entry. Set OLVEX_WINE_TIMEOUT before
# registering an entry that needs longer than the default (entries take
# seconds; the default leaves room for a loaded machine, and a hung entry no
# longer holds up the run for five minutes).
set(OLVEX_WINE_TIMEOUT 90)
set(OLVEX_WINE_CHECK ${PROJECT_SOURCE_DIR}/cmake/wine-check)
set(OLVEX_WINE_RUN ${PROJECT_SOURCE_DIR}/cmake/wine-run)

function(_olvex_wine_entry name mode program)
  if(TARGET ${program})
    set(program ${OLVEX_WINE_RUN} $<TARGET_FILE:${program}>)
  endif()
  add_test(NAME ${name} COMMAND ${OLVEX_WINE_CHECK} ${mode} ${CMAKE_BINARY_DIR}/test-reports/${name}
    ${OLVEX_WINE_TIMEOUT} ${program} ${ARGN})
  math(EXPR _limit "${OLVEX_WINE_TIMEOUT} + 75")
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK wineprefix
    LABELS wine
    TIMEOUT ${_limit}
    ENVIRONMENT "WINEPREFIX=${OLVEX_WINEPREFIX};WINEDEBUG=-all;OLVEX_KEYSIM=$<TARGET_FILE:keysim>")
endfunction()

# olvex_wine_test(NAME target [ARGS ...]): one ctest entry running the
# GoogleTest program `target` under Wine in the run's prefix. It passes when
# the program exits 0 and its XML report shows every test run and passed.
# Tests share the prefix's registry and kernel namespace, so they run one at a
# time.
function(olvex_wine_test name target)
  if(NOT OLVEX_CAN_RUN)
    return()
  endif()
  _olvex_wine_entry(${name} gtest ${target} ${ARGN})
endfunction()

# olvex_wine_script_test(NAME command [ARGS ...]): an entry that is not a
# GoogleTest program (a script, a CLI, a program of another language). A
# target is run under Wine; anything else as given. It passes when it exits 0
# and its last line of output begins with "completed: " (say what was checked,
# e.g. "completed: msvc consumer x64, 12 checks").
function(olvex_wine_script_test name command)
  if(NOT OLVEX_CAN_RUN)
    return()
  endif()
  _olvex_wine_entry(${name} script ${command} ${ARGN})
endfunction()
