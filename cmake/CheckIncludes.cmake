# Fails when a source file includes a header from a folder above it in the dependency order
#   platform, picture -> gpib -> gpib/backends/simscope -> gpib/backends -> capture, files, about -> app, cli -> tools
# or when one bus backend (a folder under gpib/backends/) includes another: what two buses share
# moves up to gpib/backends/ itself, or into the simulated scope's folder.
# Run with: cmake -DSOURCE_DIR=<project> -P cmake/CheckIncludes.cmake
cmake_minimum_required(VERSION 3.21)
set(levels "platform=0" "picture=0" "gpib=1" "gpib/backends/simscope=2" "gpib/backends=3" "capture=4" "files=4" "about=4"
           "app=5" "cli=5" "tools=6")
# Folders under gpib/backends/ that are shared pieces, not buses.
set(shared_backend_folders "simscope")

function(level_of path out)
  set(result -1)
  set(best "")
  foreach(entry ${levels})
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 folder)
    list(GET pair 1 level)
    string(LENGTH "${folder}" n)
    string(LENGTH "${best}" bestn)
    if(path MATCHES "^${folder}/" AND n GREATER bestn)
      set(result ${level})
      set(best "${folder}")
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# The bus backend a path belongs to ("sim", "usbtmc", ...), or "" for anything else.
function(backend_of path out)
  set(result "")
  if(path MATCHES "^gpib/backends/([^/]+)/")
    set(result "${CMAKE_MATCH_1}")
    if(result IN_LIST shared_backend_folders)
      set(result "")
    endif()
  endif()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}"
     "${SOURCE_DIR}/platform/*" "${SOURCE_DIR}/picture/*" "${SOURCE_DIR}/gpib/*" "${SOURCE_DIR}/capture/*" "${SOURCE_DIR}/files/*"
     "${SOURCE_DIR}/about/*" "${SOURCE_DIR}/app/*" "${SOURCE_DIR}/cli/*" "${SOURCE_DIR}/tools/*")
list(FILTER sources INCLUDE REGEX "\\.(h|cpp)$")
set(violations "")
foreach(source ${sources})
  level_of("${source}" from)
  backend_of("${source}" from_backend)
  file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^#include \"")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
    level_of("${header}" to)
    backend_of("${header}" to_backend)
    if(to GREATER from)
      string(APPEND violations "  ${source} includes ${header}\n")
    elseif(from_backend AND to_backend AND NOT from_backend STREQUAL to_backend)
      string(APPEND violations "  ${source} includes ${header} (a sibling backend)\n")
    endif()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "Includes against the dependency order:\n${violations}")
endif()
message(STATUS "Include order holds for every source file")
