# dmcheck.exe for Windows x64, the test driver library and the Direct3D 12
# conformance program.
find_program(DMCHECK_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
find_program(DMCHECK_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)

# d3d12.dll's import library made from our own .def: D3D12CreateDevice by
# ordinal 101 rather than by name.
set(DMCHECK_D3D12_IMPLIB ${CMAKE_BINARY_DIR}/libd3d12_ordinal.a)
add_custom_command(OUTPUT ${DMCHECK_D3D12_IMPLIB}
  COMMAND ${DMCHECK_DLLTOOL} --input-def ${PROJECT_SOURCE_DIR}/cmake/d3d12.def
          --output-lib ${DMCHECK_D3D12_IMPLIB} --machine i386:x86-64
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/d3d12.def
  COMMENT "Import library for d3d12.dll (D3D12CreateDevice @101)"
  VERBATIM)
add_custom_target(d3d12_implib DEPENDS ${DMCHECK_D3D12_IMPLIB})
add_library(d3d12_ordinal STATIC IMPORTED GLOBAL)
set_target_properties(d3d12_ordinal PROPERTIES IMPORTED_LOCATION ${DMCHECK_D3D12_IMPLIB})
add_dependencies(d3d12_ordinal d3d12_implib)

# Compile settings shared by everything that carries the program's code.
add_library(dmcheck_win_settings INTERFACE)
target_include_directories(dmcheck_win_settings INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(dmcheck_win_settings INTERFACE ${DMCHECK_WARNINGS})
# C99 printf (%zu, %llu) and the struct-return form of the Direct3D 12 header
# that matches the Windows ABI.
target_compile_definitions(dmcheck_win_settings INTERFACE __USE_MINGW_ANSI_STDIO=1
                                                          WIDL_EXPLICIT_AGGREGATE_RETURNS)
# Runs on a bare Windows: no toolchain run-time DLLs.
target_link_options(dmcheck_win_settings INTERFACE -static -static-libgcc -static-libstdc++)
target_link_libraries(dmcheck_win_settings INTERFACE d3d12_ordinal)

add_executable(dmcheck ${DMCHECK_PROGRAM_SOURCES} platform/win/main_win.cpp
                       platform/win/clock_win.cpp)
target_link_libraries(dmcheck PRIVATE dmcheck_win_settings)

# The import table may name only system DLLs, d3d12.dll only by ordinal 101,
# and never Advapi32 (the registry is reached through a run-time load).
add_custom_command(TARGET dmcheck POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${DMCHECK_OBJDUMP} -DEXE=$<TARGET_FILE:dmcheck>
          -P ${PROJECT_SOURCE_DIR}/cmake/check_imports.cmake
  VERBATIM)

add_subdirectory(tools/testdriver)
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/conformance/CMakeLists.txt)
  add_subdirectory(tests/conformance)
endif()

# The release package: dmcheck-VERSION-win64.zip with the exe and how to run it.
install(TARGETS dmcheck RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION . RENAME README.txt)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME dmcheck)
set(CPACK_PACKAGE_FILE_NAME dmcheck-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
