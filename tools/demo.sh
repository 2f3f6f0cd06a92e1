#!/usr/bin/env bash
# Builds the program and runs its main job on the bundled demo stream:
# drops, captions, service names and programme changes, then the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
require "${build_requirements[@]}" || exit 1
build=${1:-build-demo}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELVAN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target trelvan
out=$(mktemp -d)
status=0
TRELVAN_CHARSET=${TRELVAN_CHARSET:-UTF-8} "$build/trelvan" samples/demo.ts -drop -capstr -sdt -eit -wraparound \
  -noprogress -throughpath "$out/demo.out.ts" || status=$?
echo "exit code: $status (dropped packets)"
identical=yes
cmp samples/demo.ts "$out/demo.out.ts" || identical=no
rm -rf "$out"
[ "$identical" = yes ] || exit 1
echo "output identical to the input"
echo "program: $build/trelvan"
