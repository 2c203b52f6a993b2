# SPDX-License-Identifier: MIT
# Fails when a source file includes a header of a layer above its own, or
# names a test hook outside the test builds' part (see test_hooks). Each
# folder may include the folders listed for it (and nothing else of the
# project), and the public headers (<vrelay/...>) only where listed below;
# run as `cmake -DROOT=<source dir> -P check_layers.cmake`.
cmake_minimum_required(VERSION 3.16)

set(allowed_platform "platform")
set(allowed_textproc/toolkit "textproc/toolkit" "platform")
set(allowed_textproc/scanner "textproc/toolkit" "textproc/scanner" "platform")
set(allowed_textproc/tokeniser "textproc/toolkit" "textproc/scanner" "textproc/tokeniser"
    "platform")
set(allowed_textproc/model "textproc/toolkit" "textproc/model" "platform")
set(allowed_transport "platform" "transport")
set(allowed_wire "platform" "transport" "wire")
set(allowed_connection "platform" "textproc" "transport" "wire" "connection")
set(allowed_client "platform" "textproc" "transport" "wire" "connection" "client")
set(allowed_server "platform" "transport" "wire" "server")
# The front-end core is an application of the public headers: never the
# client's internals. Only its embedded-server module reaches into server/.
set(allowed_frontend "platform" "transport" "wire" "frontend")
set(server_users frontend/embedded_server.cpp)
# The doors use the core for everything but their options, output and UI:
# none includes the server's parts or another door's.
set(allowed_tools "platform" "textproc" "transport" "wire" "frontend" "tools")
set(allowed_web "frontend" "web")
set(allowed_speechd "transport" "wire" "frontend" "speechd")
set(forbidden "server/protocol.h")
set(forbidden_in frontend tools web speechd)
set(layers platform textproc/toolkit textproc/scanner textproc/tokeniser textproc/model transport
    wire connection client server frontend tools speechd web)
set(project_folders platform textproc transport wire connection client server frontend tools
    speechd web tests bench)

# The public headers: the client and the front ends are their applications.
# The wire module's payload decoders are the public helpers' own, while its
# headers stay free of them, so that the server and the connection never see
# the public names.
set(public_layers client frontend tools speechd web)
set(public_files wire/payload.cpp)

# Test hooks exist in test builds only: outside tests/ and fuzz/ a hook is
# named (other than in a comment) only between #ifdef VRELAY_TEST_HOOKS and
# its #endif, the parts that vrelay_add_hooked compiles for the tests alone.
set(test_hooks "FailNextStarts|ConsumeForcedStartFailure|UseReferenceEngine|SetPacketTimeout")

set(violations "")
foreach(layer ${layers})
  file(GLOB_RECURSE sources "${ROOT}/${layer}/*.cpp" "${ROOT}/${layer}/*.h")
  foreach(source ${sources})
    file(RELATIVE_PATH where "${ROOT}" "${source}")
    file(STRINGS "${source}" public REGEX "^[ \t]*#[ \t]*include[ \t]*<vrelay/")
    if(public AND NOT layer IN_LIST public_layers AND NOT where IN_LIST public_files)
      list(APPEND violations "${where} (layer ${layer}) includes a public header")
    endif()
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
      if(where IN_LIST server_users AND top STREQUAL "server")
        set(ok TRUE)
      endif()
      if(header IN_LIST forbidden AND layer IN_LIST forbidden_in)
        set(ok FALSE)
      endif()
      if(NOT ok)
        list(APPEND violations "${where} (layer ${layer}) includes ${header}")
      endif()
    endforeach()
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*(if|endif)|${test_hooks}")
    set(depth 0)  # of #if blocks inside the one that holds the hooks
    set(hooked FALSE)
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*#[ \t]*ifdef[ \t]+VRELAY_TEST_HOOKS" AND NOT hooked)
        set(hooked TRUE)
      elseif(hooked AND line MATCHES "^[ \t]*#[ \t]*if")
        math(EXPR depth "${depth} + 1")
      elseif(hooked AND line MATCHES "^[ \t]*#[ \t]*endif")
        if(depth EQUAL 0)
          set(hooked FALSE)
        else()
          math(EXPR depth "${depth} - 1")
        endif()
      elseif(NOT hooked AND line MATCHES "${test_hooks}" AND NOT line MATCHES "^[ \t]*//")
        list(APPEND violations
             "${where} (layer ${layer}) names a test hook outside #ifdef VRELAY_TEST_HOOKS")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Layer order or test hooks broken:\n  ${text}")
endif()
message(STATUS "Layer includes: all in order; test hooks fenced")
