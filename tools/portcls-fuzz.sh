#!/usr/bin/env bash
# The long run of the PortCls device-control fuzz: many seeds, many requests
# each, against the Linux build (build/linux unless BUILD is given).
#   tools/portcls-fuzz.sh [seeds] [requests-per-seed]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/linux}
seeds=${1:-20}
requests=${2:-500000}
test=$build/platform/portcls/tests/portcls_fuzz_test
[ -x "$test" ] || cmake --build "$build" --target portcls_fuzz_test
for ((seed = 1; seed <= seeds; seed++)); do
    echo "== seed $seed"
    PORTCLS_FUZZ_SEED=$seed PORTCLS_FUZZ_REQUESTS=$requests "$test" --gtest_brief=1
done
