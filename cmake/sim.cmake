# Linux: the program on the simulated machine, dmsim, tests and benchmarks.
find_package(nlohmann_json 3 REQUIRED)
find_package(PNG REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

file(GLOB_RECURSE DMSIM_MACHINE_SOURCES CONFIGURE_DEPENDS sim/*.cpp)
add_library(dmsim_machine STATIC ${DMSIM_MACHINE_SOURCES})
target_include_directories(dmsim_machine PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(dmsim_machine PRIVATE ${DMCHECK_WARNINGS})
target_link_libraries(dmsim_machine PUBLIC nlohmann_json::nlohmann_json PNG::PNG Threads::Threads)

add_library(dmcheck_program STATIC ${DMCHECK_PROGRAM_SOURCES})
target_include_directories(dmcheck_program PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(dmcheck_program PRIVATE ${DMCHECK_WARNINGS})
target_link_libraries(dmcheck_program PUBLIC dmsim_machine)

file(GLOB DMSIM_SOURCES CONFIGURE_DEPENDS tools/dmsim/*.cpp)
if(DMSIM_SOURCES)
  add_executable(dmsim ${DMSIM_SOURCES})
  target_compile_options(dmsim PRIVATE ${DMCHECK_WARNINGS})
  target_link_libraries(dmsim PRIVATE dmcheck_program dmsim_machine)
endif()

enable_testing()
include(GoogleTest)

# Unit tests: one binary; CTest runs each test in its own process, so the
# program's process-wide state starts fresh in every test.
file(GLOB DMCHECK_UNIT_TEST_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
if(DMCHECK_UNIT_TEST_SOURCES)
  add_executable(unit_tests ${DMCHECK_UNIT_TEST_SOURCES})
  target_compile_options(unit_tests PRIVATE ${DMCHECK_WARNINGS})
  target_link_libraries(unit_tests PRIVATE dmcheck_program dmsim_machine GTest::gtest_main)
  gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
endif()

# System tests: transcripts of dmsim runs.
file(GLOB DMCHECK_SYSTEM_TEST_SOURCES CONFIGURE_DEPENDS tests/system/*.cpp)
if(DMCHECK_SYSTEM_TEST_SOURCES)
  add_executable(system_tests ${DMCHECK_SYSTEM_TEST_SOURCES})
  target_compile_options(system_tests PRIVATE ${DMCHECK_WARNINGS})
  target_compile_definitions(system_tests PRIVATE
    DMSIM_PATH="$<TARGET_FILE:dmsim>"
    SOURCE_ROOT="${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_libraries(system_tests PRIVATE nlohmann_json::nlohmann_json PNG::PNG GTest::gtest_main)
  add_dependencies(system_tests dmsim)
  gtest_discover_tests(system_tests DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST PROPERTIES LABELS system)
endif()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/valgrind/CMakeLists.txt)
  add_subdirectory(tests/valgrind)
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(tests/wine)
endif()
if(DMCHECK_FUZZ)
  add_subdirectory(fuzz)
endif()
