# SPDX-License-Identifier: MIT
# Cross-compiling for Windows with Debian's mingw-w64 toolchains, posix thread
# model (std::thread and std::mutex work). Included by the per-target
# toolchain files, which set VRELAY_MINGW_TRIPLE first.
#
# -DVRELAY_WIN_DEPS=DIR names the prefix holding the Windows builds of the
# dependencies (scripts/windows.sh makes it); pkg-config and find_* look there
# and in the toolchain's own root, never in the build machine's libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VRELAY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VRELAY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VRELAY_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${VRELAY_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VRELAY_MINGW_TRIPLE})
if(VRELAY_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VRELAY_WIN_DEPS})
  set(ENV{PKG_CONFIG_LIBDIR} ${VRELAY_WIN_DEPS}/lib/pkgconfig)
elseif(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  # Never the build machine's own packages. (Inside the compiler checks the
  # toolchain is read again without VRELAY_WIN_DEPS: the setting above stays.)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/${VRELAY_MINGW_TRIPLE}/lib/pkgconfig)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
