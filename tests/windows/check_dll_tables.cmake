# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.25)
# Fails unless the DLL exports exactly the vr* functions the header declares,
# by their plain names, and imports only from the system's own DLLs (the C and
# C++ runtimes and the dependencies are linked in).
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIBRARY}")
endif()

file(STRINGS ${HEADER} declarations REGEX "VR_CDECL vr[A-Za-z]+\\(")
set(declared)
foreach(line IN LISTS declarations)
  string(REGEX REPLACE ".*VR_CDECL (vr[A-Za-z]+)\\(.*" "\\1" name "${line}")
  list(APPEND declared ${name})
endforeach()

# Export names follow the "[Ordinal/Name Pointer] Table" heading, one a line.
string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table\n" "" exports_part "${dump}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" export_lines "${exports_part}")
set(exported)
foreach(line IN LISTS export_lines)
  string(REGEX REPLACE "\t\\[ *[0-9]+\\] " "" name "${line}")
  list(APPEND exported ${name})
endforeach()

list(SORT declared)
list(SORT exported)
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "exports differ from the header's functions:\n"
                      "exported: ${exported}\ndeclared: ${declared}")
endif()
list(LENGTH exported count)
if(NOT count EQUAL EXPECTED_COUNT)
  message(FATAL_ERROR "expected ${EXPECTED_COUNT} exports, found ${count}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${dump}")
set(system_dlls kernel32.dll ws2_32.dll msvcrt.dll advapi32.dll user32.dll)
foreach(line IN LISTS import_lines)
  string(REGEX REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-crt-")
    message(FATAL_ERROR "imports a DLL that is not the system's: ${dll}")
  endif()
endforeach()
message(STATUS "${count} exports as declared; imports: ${import_lines}")
