# Configures and builds the host project in consumer/ with the mingw-w64
# toolchain against an assembled package (find_package(Ombrivo) through
# CMAKE_PREFIX_PATH), then runs both its programs under Wine.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/ScriptSteps.cmake)
needs(PACKAGE_DIR WORK_DIR WINE TOOLCHAIN CONSUMER VERSION)
file(REMOVE_RECURSE "${WORK_DIR}")

run(${CMAKE_COMMAND} -S "${CONSUMER}" -B "${WORK_DIR}" -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_PREFIX_PATH=${PACKAGE_DIR} -DOMB_EXPECTED_VERSION=${VERSION})
run(${CMAKE_COMMAND} --build "${WORK_DIR}")
foreach(host consumer_cpp consumer_c)
  run(${WINE} "${WORK_DIR}/${host}.exe")
  if(NOT said MATCHES "^ok")
    message(FATAL_ERROR "${host} says: ${said}")
  endif()
endforeach()
message(STATUS "a host project found the package, built and ran")
