# cmake -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix> -P install_check.cmake
# Installs the build into PREFIX, checks that exactly the two programs landed
# in bin/ and that each runs (a usage error, status 2), then removes PREFIX.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE_RECURSE "${PREFIX}")
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}${err}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(failures "")
if(NOT installed STREQUAL "bin/kelvaro;bin/tasmerig")
  string(APPEND failures "installed files are [${installed}], expected [bin/kelvaro;bin/tasmerig]\n")
endif()

execute_process(COMMAND "${PREFIX}/bin/tasmerig" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "\"bad_args\"")
  string(APPEND failures "installed tasmerig without arguments: status ${rc}, stderr ${err}\n")
endif()
execute_process(COMMAND "${PREFIX}/bin/kelvaro" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "^usage: kelvaro ")
  string(APPEND failures "installed kelvaro without arguments: status ${rc}, stderr ${err}\n")
endif()

file(REMOVE_RECURSE "${PREFIX}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
