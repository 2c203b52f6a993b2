# SPDX-License-Identifier: MIT
# Fails when a source file includes a header of a layer above its own. Each
# folder may include the folders listed for it (and nothing else of the
# project); run as `cmake -DROOT=<source dir> -P check_layers.cmake`.
cmake_minimum_required(VERSION 3.16)

set(allowed_platform "platform")
set(allowed_textproc/toolkit "textproc/toolkit" "platform")
set(allowed_textproc/scanner "textproc/toolkit" "textproc/scanner" "platform")
set(allowed_textproc/tokeniser "textproc/toolkit" "textproc/scanner" "textproc/tokeniser"
    "platform")
set(allowed_textproc/model "textproc/toolkit" "textproc/model" "platform")
set(allowed_transport "platform" "transport")
set(allowed_connection "platform" "textproc" "transport" "connection")
set(allowed_client "platform" "textproc" "transport" "connection" "client")
set(allowed_server "platform" "transport" "server")
# vrelay-web and the Speech Dispatcher module are applications of the public
# headers; they embed the server only through the tools' embedded-server
# module.
set(allowed_web "tools" "web")
set(allowed_speechd "tools" "speechd")
set(layers platform textproc/toolkit textproc/scanner textproc/tokeniser textproc/model transport
    connection client server speechd web)
set(project_folders platform textproc transport connection client server tools speechd web tests bench)

set(violations "")
foreach(layer ${layers})
  file(GLOB_RECURSE sources "${ROOT}/${layer}/*.cpp" "${ROOT}/${layer}/*.h")
  foreach(source ${sources})
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" top "${header}")
      if(NOT top IN_LIST project_folders)
        continue()
      endif()
      set(ok FALSE)
      foreach(prefix ${allowed_${layer}})
        string(LENGTH "${prefix}/" n)
        string(SUBSTRING "${header}" 0 ${n} head)
        if(head STREQUAL "${prefix}/")
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        file(RELATIVE_PATH where "${ROOT}" "${source}")
        list(APPEND violations "${where} (layer ${layer}) includes ${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the layer order:\n  ${text}")
endif()
message(STATUS "Layer includes: all in order")
