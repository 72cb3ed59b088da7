#!/usr/bin/env bash
# Builds Ombrivo and runs its tests.
#   ./build.sh          build the Windows package into out/windows, the Linux
#                       test bench into out/linux, and run the ombemu demo
#   ./build.sh test     build every configuration and run every test
# Installs the Debian packages it needs when they are missing.
set -uo pipefail
cd "$(dirname "$0")"
root=$(pwd)
jobs=$(nproc)

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 ccache llvm
          libcli11-dev sox gnuplot-nox)

ensure_packages() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq || return 1
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null || return 1
    fi
}

# configure DIR [cmake args...]; then build it.
build_config() {
    local dir=$1
    shift
    echo "== building $dir"
    cmake -S "$root" -B "$root/build/$dir" -G Ninja "$@" >"$root/build/$dir.configure.log" 2>&1 ||
        { cat "$root/build/$dir.configure.log"; return 1; }
    cmake --build "$root/build/$dir" -j "$jobs"
}

passed=0
failed=0
failures=()

# run_ctest DIR [ctest args...]: runs the tests and adds up their results.
run_ctest() {
    local dir=$1
    shift
    echo "== testing $dir"
    local log="$root/build/$dir.ctest.log"
    (cd "$root/build/$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line
    line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        local bad total
        bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    fi
    if [ "$rc" -ne 0 ] || [ -z "$line" ]; then
        failures+=("$dir")
        [ -n "$line" ] || failed=$((failed + 1))
    fi
}

stage() { # stage NAME COMMAND...: a build step whose failure fails the run
    "$@" || { failures+=("$1 $2"); failed=$((failed + 1)); return 1; }
}

linux_release=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
windows_release=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake")

cmd_build() {
    ensure_packages || exit 1
    mkdir -p build
    build_config windows "${windows_release[@]}" || exit 1
    build_config linux "${linux_release[@]}" || exit 1
    rm -rf out
    # The Windows package: driver/, bin/, lib/, include/ and the CMake package file.
    cmake --build build/windows --target windows_package -j "$jobs" || exit 1
    # The Linux build as the test bench package: ombemu, libombemu.so and
    # libombapi.so with the stand-in they run on, the headers, the CMake
    # package file.
    cmake --install build/linux --prefix out/linux >/dev/null || exit 1
    echo "== deliverables in out/:"
    find out -type f | sort
    # The demo: the engine plays the test signal and a tone to the capture
    # host, the render host plays into the capture endpoint; both must arrive
    # exact.
    echo "== the ombemu demo"
    mkdir -p out/demo
    out/linux/bin/ombemu --capture-to out/demo/captured.wav --record-to out/demo/recorded.wav ||
        { echo "the demo did not deliver exactly"; exit 1; }
}

cmd_test() {
    ensure_packages || exit 1
    mkdir -p build
    # Linux: plain, AddressSanitizer with UndefinedBehaviorSanitizer, and
    # ThreadSanitizer for the threaded tests.
    stage build_config linux "${linux_release[@]}" && run_ctest linux
    stage build_config linux-asan -DCMAKE_BUILD_TYPE=Debug -DOMB_SANITIZE=address &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest linux-asan
    stage build_config linux-tsan -DCMAKE_BUILD_TYPE=Debug -DOMB_SANITIZE=thread &&
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest linux-tsan -L threaded
    # Windows: the driver-free tests under Wine.
    stage build_config windows "${windows_release[@]}" && run_ctest windows
    # Fuzz targets, each for a bounded time on its seed corpus.
    if [ -x tools/fuzz.sh ]; then
        stage tools/fuzz.sh && passed=$((passed + 1))
    fi

    echo
    if [ ${#failures[@]} -gt 0 ]; then
        echo "FAILED: ${failures[*]}"
    fi
    echo "tests: $passed passed, $failed failed"
    [ ${#failures[@]} -eq 0 ] && [ "$failed" -eq 0 ]
}

case "${1:-build}" in
    build) cmd_build ;;
    test) cmd_test ;;
    *)
        echo "usage: $0 [build|test]" >&2
        exit 2
        ;;
esac
