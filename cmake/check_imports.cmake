# Checks the import table of a Windows executable (cmake -DOBJDUMP=... -DEXE=...
# -P check_imports.cmake): it may name only DLLs that every Windows 10/11 x64
# has, must bind d3d12.dll by ordinal 101 alone (D3D12CreateDevice), and must
# not name Advapi32, which the program loads at run time.
cmake_minimum_required(VERSION 3.25)
if(NOT OBJDUMP OR NOT EXE)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DEXE=<file> -P check_imports.cmake")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()

set(system_dlls kernel32.dll msvcrt.dll ucrtbase.dll ntdll.dll user32.dll d3d12.dll dxgi.dll)

# One block per imported DLL: "DLL Name: X", a header line, then one line per
# imported function, up to an empty line.
string(REPLACE "\n" ";" lines "${dump}")
set(current "")
set(names "")
set(d3d12_entries "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" current)
    string(STRIP "${current}" current)
    list(APPEND names ${current})
  elseif(line MATCHES "^[ \t]*$")
    set(current "")
  elseif(current STREQUAL "d3d12.dll" AND NOT line MATCHES "Hint/Ord")
    string(STRIP "${line}" entry)
    list(APPEND d3d12_entries "${entry}")
  endif()
endforeach()

if(NOT names)
  message(FATAL_ERROR "${EXE}: no import table found")
endif()
foreach(dll IN LISTS names)
  if(dll STREQUAL "advapi32.dll")
    message(FATAL_ERROR "${EXE} imports ADVAPI32")
  endif()
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${EXE} imports ${dll}, which a bare Windows does not have")
  endif()
endforeach()
if(NOT "d3d12.dll" IN_LIST names)
  message(FATAL_ERROR "${EXE} does not import d3d12.dll")
endif()
# An ordinal import is a thunk with the top bit set: 0x8000000000000000 | 101.
list(LENGTH d3d12_entries count)
if(NOT count EQUAL 1 OR NOT d3d12_entries MATCHES "^8000000000000065[ \t]")
  message(FATAL_ERROR "${EXE}: d3d12.dll must be imported by ordinal 101 only, got: ${d3d12_entries}")
endif()
message(STATUS "imports of ${EXE}: ${names}; d3d12.dll by ordinal 101")
