# Build helpers shared by every folder: sanitizer modes, GoogleTest, and the
# two sides of the tree (driver side and client side) in both builds.

set(OMB_SANITIZE "" CACHE STRING "Linux sanitizer mode: empty, 'address' (ASan+UBSan) or 'thread' (TSan)")

if(NOT WIN32)
  add_compile_options(-Wall -Wextra -Wno-unused-parameter -fno-omit-frame-pointer)
  if(OMB_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  elseif(OMB_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread)
    add_link_options(-fsanitize=thread)
  elseif(NOT OMB_SANITIZE STREQUAL "")
    message(FATAL_ERROR "OMB_SANITIZE must be empty, 'address' or 'thread'")
  endif()
else()
  add_compile_options(-Wall -Wextra -Wno-unused-parameter)
endif()

# GoogleTest from Debian's sources, built with this build's compiler and flags
# (so that it is instrumented like the code it tests, and exists for mingw).
macro(omb_add_googletest)
  set(OMB_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${OMB_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endmacro()

# Windows programs and DLLs carry their C++ runtime inside, so that Wine (or a
# bare Windows) needs nothing beside them.
function(omb_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# Driver side: the kernel-mode code and its stand-in. On Linux WCHAR must be
# 16 bits as on Windows; on Windows the code is freestanding kernel code.
set(OMB_KERNEL_PREINCLUDE "${CMAKE_CURRENT_LIST_DIR}/mingw-kernel-preinclude.h")
function(omb_driver_side target)
  if(WIN32)
    target_compile_definitions(${target} PRIVATE _AMD64_ NTDDI_VERSION=0x0A000000 _WIN32_WINNT=0x0A00
      __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
    target_include_directories(${target} SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
    target_compile_options(${target} PRIVATE -include ${OMB_KERNEL_PREINCLUDE}
      -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
      -fcheck-new -Wno-multichar -mno-stack-arg-probe)
  else()
    target_compile_options(${target} PRIVATE -fshort-wchar)
    target_link_libraries(${target} PUBLIC platform_driver_side)
  endif()
endfunction()

# Client side: plain Win32 user-mode code; on Linux over the Win32 stand-in.
function(omb_client_side target)
  if(NOT WIN32)
    target_link_libraries(${target} PUBLIC platform_win32)
  endif()
  omb_static_runtime(${target})
endfunction()

# A GoogleTest program registered with CTest.
#   omb_add_test(name SOURCES ... [LIBS ...] [DRIVER_SIDE] [THREADED])
# DRIVER_SIDE builds it like driver code (16-bit WCHAR on Linux); THREADED
# labels it for the ThreadSanitizer run.
function(omb_add_test name)
  cmake_parse_arguments(T "DRIVER_SIDE;THREADED" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(T_DRIVER_SIDE AND NOT WIN32)
    target_compile_options(${name} PRIVATE -fshort-wchar)
  endif()
  omb_static_runtime(${name})
  add_test(NAME ${name} COMMAND ${name})
  set(labels unit)
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  if(WIN32)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
