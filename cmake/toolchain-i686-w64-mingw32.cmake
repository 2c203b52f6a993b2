# SPDX-License-Identifier: MIT
# 32-bit Windows (the DLL applications load). No test runner: 32-bit Wine is
# not available on the build machines.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VRELAY_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
