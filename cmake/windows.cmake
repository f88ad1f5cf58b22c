# dmcheck.exe for Windows x64.
find_program(DMCHECK_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)

add_executable(dmcheck ${DMCHECK_PROGRAM_SOURCES} platform/win/main_win.cpp
                       platform/win/clock_win.cpp)
target_include_directories(dmcheck PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(dmcheck PRIVATE ${DMCHECK_WARNINGS})
# C99 printf (%zu, %llu) and the struct-return form of the Direct3D 12 header
# that matches the Windows ABI.
target_compile_definitions(dmcheck PRIVATE __USE_MINGW_ANSI_STDIO=1
                                           WIDL_EXPLICIT_AGGREGATE_RETURNS)
# Runs on a bare Windows: no toolchain run-time DLLs.
target_link_options(dmcheck PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(dmcheck PRIVATE d3d12)

# The registry is reached through a run-time load; the import table must not
# name Advapi32.
add_custom_command(TARGET dmcheck POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${DMCHECK_OBJDUMP} -DEXE=$<TARGET_FILE:dmcheck>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check_imports.cmake
  VERBATIM)
