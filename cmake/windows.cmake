# SPDX-License-Identifier: MIT
# Windows builds (mingw-w64). The dependencies are static libraries, and the
# C and C++ runtimes and the thread library are linked in too, so the DLL and
# the programs need only the system's own DLLs.
add_compile_definitions(PCRE2_STATIC LIBXML_STATIC UTF8PROC_STATIC WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601)
# The C runtime's headers then declare ctime_r, gmtime_r and the like.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)
add_link_options(-static -static-libgcc -static-libstdc++)
# Last on every link line, after the static libraries that need it.
string(APPEND CMAKE_C_STANDARD_LIBRARIES " -lws2_32")
string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " -lws2_32")
# Test programs run under an emulator: list their cases when the tests run,
# not while building (the build may have no emulator set up).
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
# Programs and DLLs side by side, where the Windows loader looks for the DLL.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
