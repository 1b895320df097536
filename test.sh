#!/usr/bin/env bash
# Installs what the tests need, builds and runs every test: the normal build,
# then an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")"

need=()
command -v ffmpeg >/dev/null || need+=(ffmpeg)
command -v sox >/dev/null || need+=(sox)
/usr/bin/python3 -c 'import numpy, scipy' 2>/dev/null || need+=(python3-numpy python3-scipy)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPULSEMILL_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPULSEMILL_SANITIZE=ON \
  -DPULSEMILL_WERROR=ON -DPULSEMILL_BUILD_BENCH=OFF >/dev/null
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure
