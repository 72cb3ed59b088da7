# Fails unless IMAGE is a kernel driver image as Windows loads one: native
# subsystem, entry DriverEntry, relocatable and NX compatible, no thread-local
# storage, imports only from ntoskrnl.exe, HAL.dll, portcls.sys and ks.sys
# (so no C runtime), the static initialisers walked by the image itself, and
# the exception guard's scope table handled by the kernel's
# __C_specific_handler.
#   cmake -DOBJDUMP=... -DNM=... -DIMAGE=... -P CheckImage.cmake
cmake_minimum_required(VERSION 3.25)

function(fail text)
  message(FATAL_ERROR "${IMAGE}: ${text}")
endfunction()

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  fail("${OBJDUMP} -p failed")
endif()
execute_process(COMMAND ${NM} ${IMAGE} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  fail("${NM} failed")
endif()

function(symbol_address name out)
  if(NOT symbols MATCHES "([0-9a-f]+) [TtRrDd] ${name}\n")
    fail("no symbol ${name}")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

function(header_value field out)
  if(NOT dump MATCHES "\n${field}[ \t]+([0-9a-fA-F]+)")
    fail("no ${field} in the header")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# Native subsystem.
header_value(Subsystem subsystem)
math(EXPR subsystem "0x${subsystem}")
if(NOT subsystem EQUAL 1)
  fail("subsystem ${subsystem}, not native (1)")
endif()

# The entry is DriverEntry.
header_value(ImageBase base)
header_value(AddressOfEntryPoint entry)
symbol_address(DriverEntry driver_entry)
math(EXPR entry_va "0x${base} + 0x${entry}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR driver_entry_va "0x${driver_entry}" OUTPUT_FORMAT HEXADECIMAL)
if(NOT entry_va STREQUAL driver_entry_va)
  fail("entry ${entry_va} is not DriverEntry (${driver_entry_va})")
endif()

# Relocatable anywhere, pages not executable unless code.
header_value(DllCharacteristics characteristics)
math(EXPR characteristics "0x${characteristics}")
math(EXPR dynamic_base "${characteristics} & 0x40")
math(EXPR nx_compat "${characteristics} & 0x100")
if(dynamic_base EQUAL 0 OR nx_compat EQUAL 0)
  fail("DllCharacteristics ${characteristics} lacks DYNAMIC_BASE or NX_COMPAT")
endif()
if(NOT dump MATCHES "Entry 5 [0-9a-f]+ ([0-9a-f]+) Base Relocation Directory")
  fail("no base relocation directory")
endif()
if(CMAKE_MATCH_1 MATCHES "^0+$")
  fail("an empty base relocation directory: the image cannot move")
endif()
if(dump MATCHES "Entry 9 [0-9a-f]+ ([0-9a-f]+) Thread Storage Directory" AND NOT CMAKE_MATCH_1 MATCHES "^0+$")
  fail("thread-local storage, which a driver cannot have")
endif()
# No section is both writable and executable.
execute_process(COMMAND ${OBJDUMP} -h ${IMAGE} OUTPUT_VARIABLE sections)
string(REGEX MATCHALL "[^\n]*\n[ \t]+CONTENTS[^\n]*" section_entries "${sections}")
foreach(section IN LISTS section_entries)
  if(section MATCHES "CODE" AND NOT section MATCHES "READONLY")
    fail("a writable code section: ${section}")
  endif()
endforeach()

# Imports: each DLL with the names taken from it.
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
set(allowed ntoskrnl.exe hal.dll portcls.sys ks.sys)
set(seen "")
foreach(entry IN LISTS dlls)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST allowed)
    fail("imports from ${dll}")
  endif()
  list(APPEND seen ${dll})
endforeach()
foreach(required ntoskrnl.exe portcls.sys)
  if(NOT required IN_LIST seen)
    fail("does not import from ${required}")
  endif()
endforeach()
string(FIND "${dump}" "DLL Name: ntoskrnl.exe" start)
string(SUBSTRING "${dump}" ${start} -1 from_ntoskrnl)
string(FIND "${from_ntoskrnl}" "\n\n" end)
string(SUBSTRING "${from_ntoskrnl}" 0 ${end} ntoskrnl_names)
if(NOT ntoskrnl_names MATCHES "__C_specific_handler")
  fail("__C_specific_handler does not come from ntoskrnl.exe")
endif()

# The exception guard's frame has a handler: the kernel's specific handler.
symbol_address(CallGuarded guarded)
symbol_address(__C_specific_handler specific_handler)
string(REGEX REPLACE "^0+" "" guarded "${guarded}")
string(REGEX REPLACE "^0+" "" specific_handler "${specific_handler}")
if(NOT dump MATCHES "\\(rva: [0-9a-f]+\\): 0*${guarded} - [0-9a-f]+\n\tVersion: 1, Flags: UNW_FLAG_EHANDLER\n[^\n]*\n[^\n]*\n\tHandler: 0*${specific_handler}\\.")
  fail("CallGuarded has no exception handler entry naming __C_specific_handler")
endif()

# The static initialisers: nothing but the image runs them, so it must walk
# the constructor list itself.
if(NOT symbols MATCHES "refptr\\.__CTOR_LIST__")
  fail("nothing refers to the constructor list: static initialisers would never run")
endif()

message(STATUS "${IMAGE}: native, entry DriverEntry, relocatable, NX compatible; imports ${seen}")
