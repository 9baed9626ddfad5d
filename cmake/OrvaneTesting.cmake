# GoogleTest from Debian's source package, built with the cross compiler.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(ORVANE_TEST_ENVIRONMENT
  "WINEPREFIX=${ORVANE_WINEPREFIX}"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml="
  "DISPLAY=")

# orvane_add_test(<name> SOURCES ... [LIBS ...] [TIMEOUT seconds] [NO_MAIN])
# One GoogleTest binary, run as one Wine process with a time-out, so a hang fails the run. Every binary
# refuses to run outside the build tree's Wine prefix (tests/support/HermeticPrefix.cpp).
function(orvane_add_test name)
  cmake_parse_arguments(T "NO_MAIN" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES} $<TARGET_OBJECTS:orvane_test_hermetic>)
  target_link_libraries(${name} PRIVATE orvane_options orvane_test_support GTest::gmock ${T_LIBS})
  if(NOT T_NO_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest)
  endif()
  add_test(NAME ${name} COMMAND wine $<TARGET_FILE:${name}> WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${ORVANE_TEST_ENVIRONMENT}")
endfunction()
