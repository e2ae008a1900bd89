# Checks that includes point down: no file includes a header of a layer above
# its own. Layers, bottom to top:
#
#   0  app/, feedback/, crypto/   records, logging, notifications, services
#   1  extract/, carve/           SQL readers and raw-page carvers
#   2  results/                   the results model, lists and export
#   3  scan/                      the scan controller
#   4  cli/, ui/                  the front ends
#
# Files of one layer may include each other. tools/, tests/, bench/ and fuzz/
# stand outside the layers and may include anything, but no layered file may
# include them. Run as
#   cmake -DSOURCE_DIR=<source tree> -P cmake/check_layers.cmake
# It prints one line per offending include and fails when there is one.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  get_filename_component(SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()

set(layer_app 0)
set(layer_feedback 0)
set(layer_crypto 0)
set(layer_extract 1)
set(layer_carve 1)
set(layer_results 2)
set(layer_scan 3)
set(layer_cli 4)
set(layer_ui 4)
set(layered app feedback crypto extract carve results scan cli ui)
set(outside tools tests bench fuzz)

set(problems 0)
set(checked 0)
foreach(folder IN LISTS layered)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.in")
  foreach(source IN LISTS sources)
    math(EXPR checked "${checked} + 1")
    file(RELATIVE_PATH rel "${SOURCE_DIR}" "${source}")
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" target "${line}")
      if(NOT target MATCHES "/")
        continue()  # a header beside the file: the same layer
      endif()
      string(REGEX REPLACE "/.*$" "" head "${target}")
      if(head IN_LIST outside)
        message("${rel}: includes \"${target}\" from ${head}/, which is outside the layers")
        math(EXPR problems "${problems} + 1")
      elseif(head IN_LIST layered AND layer_${head} GREATER layer_${folder})
        message("${rel}: includes \"${target}\" from ${head}/ (layer ${layer_${head}}) "
                "above ${folder}/ (layer ${layer_${folder}})")
        math(EXPR problems "${problems} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no layered source files found under ${SOURCE_DIR}")
endif()
if(problems GREATER 0)
  message(FATAL_ERROR "${problems} include(s) point up; see \"How the code is laid out\" in the README")
endif()
message("${checked} files checked: every include points down or sideways")
