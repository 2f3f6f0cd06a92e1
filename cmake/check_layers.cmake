# Fails when a source of FOLDER (under ROOT) includes a header of a folder
# that cmake/layers.cmake does not allow for it. Writes STAMP when clean.
#   cmake -DROOT=<tree> -DFOLDER=<folder> [-DSTAMP=<file>] -P check_layers.cmake
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)

if(NOT DEFINED ROOT OR NOT DEFINED FOLDER)
  message(FATAL_ERROR "check_layers: ROOT and FOLDER are required")
endif()
if(NOT FOLDER IN_LIST TRELVAN_LAYERS)
  message(FATAL_ERROR "check_layers: ${FOLDER} has no layering rule in cmake/layers.cmake")
endif()
set(allowed ${TRELVAN_ALLOWED_${FOLDER}})
if(allowed)
  string(REPLACE ";" ", " allowed_text "${allowed}")
else()
  set(allowed_text "none")
endif()

file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/${FOLDER}/*.cpp ${ROOT}/${FOLDER}/*.h)
list(SORT sources)
set(violations "")
foreach(source IN LISTS sources)
  file(STRINGS ${ROOT}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" header "${line}")
    # A header beside the source ("name.h") stays inside the folder.
    if(NOT header MATCHES "/")
      continue()
    endif()
    string(REGEX REPLACE "/.*$" "" target_folder "${header}")
    if(target_folder STREQUAL FOLDER OR target_folder IN_LIST allowed)
      continue()
    endif()
    # A quoted header with a path that names no folder of the tree is an
    # outside one.
    if(NOT target_folder IN_LIST TRELVAN_LAYERS AND NOT IS_DIRECTORY ${ROOT}/${target_folder})
      continue()
    endif()
    string(APPEND violations
      "  ${source} includes \"${header}\"; ${FOLDER}/ may include only: ${allowed_text}\n")
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Layering violation in ${FOLDER}/:\n${violations}")
endif()
if(DEFINED STAMP)
  file(WRITE ${STAMP} "")
endif()
