# From a Linux build with tests: the Windows cross-build of the same sources
# (mingw-w64) in the folder windows/ of this build, brought up to date with
# every build, and its tests run under Wine as one test of this build, so that
# one ctest checks both platforms. Off where mingw-w64 or Wine is missing
# (scripts/packages has both), and in the sanitizer builds.
find_program(TRANSPORT_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(TRANSPORT_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine)
set(TRANSPORT_WINDOWS_DEFAULT OFF)
if(TRANSPORT_MINGW_CXX AND TRANSPORT_WINE_LOADER AND TRANSPORT_SANITIZER STREQUAL "")
  set(TRANSPORT_WINDOWS_DEFAULT ON)
endif()
option(TRANSPORT_WINDOWS_TESTS "Cross-build for Windows and run its tests under Wine"
  ${TRANSPORT_WINDOWS_DEFAULT})
if(NOT TRANSPORT_WINDOWS_TESTS)
  return()
endif()

include(ExternalProject)
set(TRANSPORT_WINDOWS_TREE ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(windows_tree
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${TRANSPORT_WINDOWS_TREE}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
             -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRANSPORT_TOOLS=ON -DTRANSPORT_TESTS=ON
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD OFF)

# Wine's prefix is made once, before the first run.
set(TRANSPORT_WINEPREFIX ${TRANSPORT_WINDOWS_TREE}/wine)
add_test(NAME windows/prefix COMMAND sh -c
  "[ -f \"$WINEPREFIX/system.reg\" ] || '${TRANSPORT_WINE_LOADER}' wineboot --init >/dev/null 2>&1")
add_test(NAME windows/tests COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${TRANSPORT_WINDOWS_TREE}
  --output-on-failure --timeout 120)
set_tests_properties(windows/prefix PROPERTIES FIXTURES_SETUP wine LABELS windows TIMEOUT 300
  ENVIRONMENT "WINEPREFIX=${TRANSPORT_WINEPREFIX};WINEDEBUG=-all")
set_tests_properties(windows/tests PROPERTIES FIXTURES_REQUIRED wine LABELS windows TIMEOUT 900
  ENVIRONMENT "WINEPREFIX=${TRANSPORT_WINEPREFIX};WINEDEBUG=-all")
