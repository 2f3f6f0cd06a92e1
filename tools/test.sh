#!/usr/bin/env bash
# Builds the program and its unit tests and runs them: tools/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
require "${build_requirements[@]}" "${test_requirements[@]}" || exit 1
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELVAN_TESTS=ON >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
echo "program: $build/trelvan, sender library: $build/SendTSTCP.so"
