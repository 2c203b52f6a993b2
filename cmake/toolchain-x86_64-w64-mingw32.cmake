# SPDX-License-Identifier: MIT
# 64-bit Windows; its programs run under wine64 (tests use it as emulator).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VRELAY_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
find_program(VRELAY_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VRELAY_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VRELAY_WINE64})
endif()
