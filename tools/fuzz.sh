#!/usr/bin/env bash
# Builds the libFuzzer targets of the driver support library with clang in
# build/fuzz and runs each for a bounded time on its checked-in seed corpus.
# Exits non-zero on any finding (crash, sanitizer report, leak, time-out).
#   tools/fuzz.sh [seconds per target, default 40]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-40}
build="$root/build/fuzz"
targets=(FuzzDataFormat FuzzAttributeList FuzzFormatText)
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

mkdir -p "$build"
echo "== configuring $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMB_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target "${targets[@]}" || exit 1

status=0
for target in "${targets[@]}"; do
    seeds="$root/driver/lib/fuzz/corpus/$target"
    work="$build/corpus/$target"      # what the run adds; the seeds stay as checked in
    artifacts="$build/artifacts/$target/"
    mkdir -p "$work" "$artifacts"
    echo "== fuzzing $target for ${seconds}s"
    if ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/driver/lib/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "$seeds" >"$build/$target.log" 2>&1; then
        grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units)" "$build/$target.log" | tail -n 1
    else
        echo "!! $target found a fault (artifacts in $artifacts):"
        tail -n 40 "$build/$target.log"
        status=1
    fi
done
exit $status
