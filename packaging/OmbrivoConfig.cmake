# find_package(Ombrivo): the client library ombapi as the imported target
# Ombrivo::ombapi, from the package folder this file sits in
# (lib/cmake/Ombrivo/ under it).
#
# mingw-w64 hosts get the whole interface, the C++ classes included, through
# libombapi.dll.a. Hosts built with MSVC or clang-cl can use only the flat C
# functions: they link an import library made from lib/ombapi.def with their
# own tools (lib /def:ombapi.def /machine:x64 /out:ombapi.lib), which this
# file looks for as lib/ombapi.lib.
get_filename_component(_omb_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET Ombrivo::ombapi)
  if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    set(_omb_implib "${_omb_prefix}/lib/ombapi.lib")
  else()
    set(_omb_implib "${_omb_prefix}/lib/libombapi.dll.a")
  endif()
  if(NOT EXISTS "${_omb_implib}")
    set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
    set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE
        "no import library ${_omb_implib}: make it from ${_omb_prefix}/lib/ombapi.def with your toolchain's librarian (lib /def:ombapi.def /machine:x64 /out:ombapi.lib); such hosts can use only the flat C functions")
    unset(_omb_implib)
    unset(_omb_prefix)
    return()
  endif()

  add_library(Ombrivo::ombapi SHARED IMPORTED)
  set_target_properties(Ombrivo::ombapi PROPERTIES
    IMPORTED_LOCATION "${_omb_prefix}/bin/ombapi.dll"
    IMPORTED_IMPLIB "${_omb_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_omb_prefix}/include")
  unset(_omb_implib)
endif()
unset(_omb_prefix)
