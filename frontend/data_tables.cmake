# SPDX-License-Identifier: GPL-3.0-or-later
# The core's data files compiled in: each tab-separated row of a table
# becomes one line ROW("field", "field", ...) of a generated .inc file, which
# the module including it turns into its table by defining ROW. Comment lines
# (#) and blank lines are left out. Written at configure time, and again
# whenever the file changes (it is a configure dependency); an unchanged
# output keeps its time stamp, so nothing rebuilds for nothing.
function(vrelay_data_table source output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(STRINGS ${source} rows)
  file(RELATIVE_PATH from ${PROJECT_SOURCE_DIR} ${source})
  set(text "// Generated from ${from}: edit that file, not this one.\n")
  foreach(row IN LISTS rows)
    if(row MATCHES "^#" OR row MATCHES "^[ \t]*$")
      continue()
    endif()
    string(REPLACE "\\" "\\\\" row "${row}")
    string(REPLACE "\"" "\\\"" row "${row}")
    string(REPLACE "\t" "\", \"" row "${row}")
    string(APPEND text "ROW(\"${row}\")\n")
  endforeach()
  file(WRITE ${output}.new "${text}")
  configure_file(${output}.new ${output} COPYONLY)
endfunction()
