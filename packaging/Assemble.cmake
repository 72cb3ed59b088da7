# Assembles the Windows package: everything the Windows build installs, into
# an emptied folder, so nothing of an earlier package lingers (a stale file
# beside the INF would go into the catalog).
#   cmake -DBUILD_DIR=<Windows build> -DPACKAGE_DIR=<folder> -P Assemble.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var BUILD_DIR PACKAGE_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "Assemble.cmake needs -D${var}=...")
  endif()
endforeach()
file(REMOVE_RECURSE "${PACKAGE_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PACKAGE_DIR}"
  OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "installing into ${PACKAGE_DIR} failed (${result})")
endif()
