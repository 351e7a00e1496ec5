# Cross-build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, for std::thread); the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TRANSPORT_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TRANSPORT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRANSPORT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TRANSPORT_MINGW_TRIPLE}-windres)

# Libraries and headers from the target tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TRANSPORT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian ships the 64-bit loader as /usr/lib/wine/wine64 (no wine64 on PATH).
find_program(TRANSPORT_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TRANSPORT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine-run ${TRANSPORT_WINE})
endif()
