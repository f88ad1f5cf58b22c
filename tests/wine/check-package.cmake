# Builds the release package of a Windows build tree and checks its content:
# the exe and the text on how to run it, nothing else.
# cmake -DBUILD_DIR=... -DVERSION=... -P check-package.cmake
cmake_minimum_required(VERSION 3.25)
set(zip ${BUILD_DIR}/dmcheck-${VERSION}-win64.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target package
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "the package target did not make ${zip}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" entries "${listing}")
list(SORT entries)
set(want "dmcheck-${VERSION}-win64/README.txt;dmcheck-${VERSION}-win64/dmcheck.exe")
if(NOT rc EQUAL 0 OR NOT entries STREQUAL want)
  message(FATAL_ERROR "${zip} holds: ${entries}; want: ${want}")
endif()
message(STATUS "${zip}: ${entries}")
