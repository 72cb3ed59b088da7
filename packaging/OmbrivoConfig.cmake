# find_package(Ombrivo): the package folder this file sits in (under
# lib/cmake/Ombrivo/), as one of the two builds installs it.
#
# The Windows package: Ombrivo::ombapi, the client library ombapi.dll.
# mingw-w64 hosts get the whole interface, the C++ classes included, through
# libombapi.dll.a. Hosts built with MSVC or clang-cl can use only the flat C
# functions: they link an import library made from lib/ombapi.def with their
# own tools (lib /def:ombapi.def /machine:x64 /out:ombapi.lib), which this
# file looks for as lib/ombapi.lib.
#
# The Linux package, the test bench: Ombrivo::ombapi, libombapi.so over the
# Linux stand-in of Win32; and Ombrivo::testbench, the emulated Windows
# machine with the Ombrivo driver (libombemu.so, ombemu.h), whose include
# directories hold the stand-in's Windows headers (windows.h, setupapi.h,
# ks.h, ksmedia.h, ...), so that a host's Windows source builds and runs on
# Linux against the emulated device.
get_filename_component(_omb_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

# Ends the search with a message; the caller's find_package reports it.
macro(_omb_not_found message)
  set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
  set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE "${message}")
  unset(_omb_implib)
  unset(_omb_prefix)
  return()
endmacro()

if(EXISTS "${_omb_prefix}/bin/ombapi.dll")
  if(NOT WIN32)
    _omb_not_found("${_omb_prefix} is the Windows package; a Linux build takes the Linux build's package (the test bench)")
  endif()
elseif(EXISTS "${_omb_prefix}/lib/libombapi.so")
  if(WIN32)
    _omb_not_found("${_omb_prefix} is the Linux test bench package; a Windows build takes the Windows package")
  endif()
else()
  _omb_not_found("${_omb_prefix} holds neither ombapi.dll nor libombapi.so")
endif()

if(WIN32 AND NOT TARGET Ombrivo::ombapi)
  if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    set(_omb_implib "${_omb_prefix}/lib/ombapi.lib")
  else()
    set(_omb_implib "${_omb_prefix}/lib/libombapi.dll.a")
  endif()
  if(NOT EXISTS "${_omb_implib}")
    _omb_not_found("no import library ${_omb_implib}: make it from ${_omb_prefix}/lib/ombapi.def with your toolchain's librarian (lib /def:ombapi.def /machine:x64 /out:ombapi.lib); such hosts can use only the flat C functions")
  endif()
  add_library(Ombrivo::ombapi SHARED IMPORTED)
  set_target_properties(Ombrivo::ombapi PROPERTIES
    IMPORTED_LOCATION "${_omb_prefix}/bin/ombapi.dll"
    IMPORTED_IMPLIB "${_omb_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_omb_prefix}/include")
  unset(_omb_implib)
elseif(NOT WIN32 AND NOT TARGET Ombrivo::ombapi)
  # The stand-in of Win32 and kernel streaming (user mode): its headers,
  # the library a host's Win32 calls reach, and the named GUIDs of ksmedia.h.
  # The emulated kernel, I/O manager, PortCls and kernel streaming behind it
  # are found beside it through its run path.
  add_library(Ombrivo::platform_ksguid SHARED IMPORTED)
  set_target_properties(Ombrivo::platform_ksguid PROPERTIES
    IMPORTED_LOCATION "${_omb_prefix}/lib/libplatform_ksguid.so")
  add_library(Ombrivo::platform_win32 SHARED IMPORTED)
  set_target_properties(Ombrivo::platform_win32 PROPERTIES
    IMPORTED_LOCATION "${_omb_prefix}/lib/libplatform_win32.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_omb_prefix}/include/win32"
    INTERFACE_LINK_LIBRARIES Ombrivo::platform_ksguid)

  # ombapi.h includes windows.h, so the client library brings the stand-in.
  add_library(Ombrivo::ombapi SHARED IMPORTED)
  set_target_properties(Ombrivo::ombapi PROPERTIES
    IMPORTED_LOCATION "${_omb_prefix}/lib/libombapi.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_omb_prefix}/include"
    INTERFACE_LINK_LIBRARIES Ombrivo::platform_win32)

  add_library(Ombrivo::testbench SHARED IMPORTED)
  set_target_properties(Ombrivo::testbench PROPERTIES
    IMPORTED_LOCATION "${_omb_prefix}/lib/libombemu.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_omb_prefix}/include"
    INTERFACE_LINK_LIBRARIES Ombrivo::platform_win32)
endif()
unset(_omb_prefix)
