# Installs the Linux build as the test bench package, moves the folder (the
# package must not depend on where it was installed), then configures and
# builds the example host project against it with find_package(Ombrivo) and
# runs its test on the emulated machine, and runs the installed ombemu.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLE=... -DC_COMPILER=... -P TestbenchHost.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/ScriptSteps.cmake)
needs(BUILD_DIR WORK_DIR EXAMPLE C_COMPILER)
file(REMOVE_RECURSE "${WORK_DIR}")

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/installed")
file(RENAME "${WORK_DIR}/installed" "${WORK_DIR}/prefix")
set(prefix "${WORK_DIR}/prefix")
foreach(file lib/cmake/Ombrivo/OmbrivoConfig.cmake lib/cmake/Ombrivo/OmbrivoConfigVersion.cmake
             lib/libombapi.so lib/libombemu.so include/ombapi.h include/ombemu.h
             include/win32/windows.h include/win32/setupapi.h include/win32/ks.h include/win32/ksmedia.h)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "the package has no ${file}")
  endif()
endforeach()

# The host's sources compiled as strictly as their developer would.
run(${CMAKE_COMMAND} -S "${EXAMPLE}" -B "${WORK_DIR}/host" -G Ninja -DCMAKE_BUILD_TYPE=Debug
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror" -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/host")
run("${WORK_DIR}/host/render_host_test")
if(NOT said MATCHES "\nok\n$")
  message(FATAL_ERROR "the host's test says: ${said}")
endif()
message(STATUS "${said}")

# The command runs from the moved folder, the libraries found beside it
# (status 0: both directions exact).
run("${prefix}/bin/ombemu" --seconds 1 --play-signal --host-signal)
message(STATUS "a host project built against the installed test bench and ran on the emulated machine")
