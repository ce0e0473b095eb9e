cmake_minimum_required(VERSION 3.25)
# Fails when a source file includes a project header from a folder its layer may not use.
# Run as: cmake -DSOURCE_DIR=<repository> -P cmake/CheckLayers.cmake
#
# Each layer lists the folders it may include from (itself always). The arrows point down:
# common <- buslink, log <- database, audio <- records <- device <- mqtt <- ui. The simulator speaks
# the protocol only and never sees the workstation's devices or records.
set(allowed_common "")
set(allowed_buslink common)
set(allowed_log common)
set(allowed_database common log)
set(allowed_audio common log)
set(allowed_records common log database audio)
set(allowed_device common log database audio records buslink)
set(allowed_mqtt common log database audio records buslink device)
set(allowed_tools common buslink sim)
set(layers common buslink log database audio records device mqtt tools)
# Project headers live in these folders; "sim/..." is the simulator's own.
set(project_folders common buslink log database audio records device mqtt ui tools sim)

set(failures "")
foreach(layer ${layers})
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(line ${includes})
      string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" folder "${header}")
      if(NOT header MATCHES "/" OR NOT folder IN_LIST project_folders OR folder STREQUAL layer)
        continue()
      endif()
      if(NOT folder IN_LIST allowed_${layer})
        file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
        string(REPLACE ";" ", " may_use "${allowed_${layer}}")
        list(APPEND failures "${where}: ${header} (${layer} may use: ${may_use})")
      endif()
    endforeach()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
message(STATUS "Layers: every include points down")
