#!/usr/bin/env bash
# The long run of the device-path exerciser over the whole loaded driver:
# many seeds, many requests each, against the Linux build (build/linux unless
# BUILD is given). Each run prints its requests per second.
#   tools/device-path-exerciser.sh [seeds] [requests-per-process]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/linux}
seeds=${1:-20}
requests=${2:-200000}
test=$build/driver/tests/device_path_exerciser
[ -x "$test" ] || cmake --build "$build" --target device_path_exerciser
for ((seed = 1; seed <= seeds; seed++)); do
    OMB_EXERCISE_SEED=$seed OMB_EXERCISE_REQUESTS=$requests "$test" --gtest_brief=1 | grep -E "^seed|FAILED|Failure" || true
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "seed $seed failed"; exit 1; }
done
