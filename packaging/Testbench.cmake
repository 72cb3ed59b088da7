# The Linux package, the test bench (included by CMakeLists.txt): what a host
# developer builds a Windows host against on Linux and runs it with on the
# emulated machine. `cmake --install` lays it out as
#   bin/ombemu                  the emulated machine's command
#   lib/libombemu.so            the machine as a library (ombemu.h)
#   lib/libombapi.so            the client library
#   lib/libplatform_*.so        the stand-in of Windows they run on
#   include/                    ombapi.h and its shared headers, ombemu.h
#   include/win32/              the stand-in's Windows headers
#   lib/cmake/Ombrivo/          find_package(Ombrivo)
# Every library and program finds the others through a run path relative to
# itself, so the folder can move.

# Compiles the static libraries a target links, and theirs, as position
# independent code, so that a shared library can take them in.
function(omb_position_independent target)
  get_property(seen GLOBAL PROPERTY omb_position_independent_seen)
  if(NOT TARGET ${target} OR ${target} IN_LIST seen)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY omb_position_independent_seen ${target})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  elseif(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "OBJECT_LIBRARY")
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    get_target_property(links ${target} LINK_LIBRARIES)
  else()
    return() # shared libraries are position independent already
  endif()
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
    omb_position_independent(${link})
  endforeach()
endfunction()

# libombemu.so: the machine, the driver and the audio engine in one library
# that shows only the functions of ombemu.h. It takes the objects of the
# static ombemu library; linking that library too brings what they need
# (the driver, the engine) and nothing twice.
add_library(ombemu_testbench SHARED $<TARGET_OBJECTS:ombemu>)
target_link_libraries(ombemu_testbench PRIVATE ombemu)
omb_position_independent(ombemu)
set(testbench_exports ${CMAKE_CURRENT_SOURCE_DIR}/ombemu.map)
target_link_options(ombemu_testbench PRIVATE -Wl,--version-script=${testbench_exports})
set_target_properties(ombemu_testbench PROPERTIES OUTPUT_NAME ombemu LINK_DEPENDS ${testbench_exports})

# The stand-in: one copy of each library in a process, as Windows has one
# kernel and one kernel32.
set(testbench_platform platform_kernel platform_io platform_ks platform_portcls platform_win32 platform_ksguid)
set(testbench_libraries ombemu_testbench ombapi ${testbench_platform})
set_target_properties(${testbench_libraries} PROPERTIES INSTALL_RPATH "\$ORIGIN")
install(TARGETS ${testbench_libraries} LIBRARY DESTINATION lib)
set_target_properties(ombemu_command PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib")
install(TARGETS ombemu_command RUNTIME DESTINATION bin)

install(FILES ${PROJECT_SOURCE_DIR}/platform/ombemu/include/ombemu.h DESTINATION include)
# The Windows headers a host includes (user mode; the kernel's stay out, and
# so does the stand-in's own control header).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/ ${PROJECT_SOURCE_DIR}/platform/win32/include/
        DESTINATION include/win32
        FILES_MATCHING PATTERN "*.h" PATTERN "win32_standin.h" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/platform/io/include-common/devioctl.h DESTINATION include/win32)
