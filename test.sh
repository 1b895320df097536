#!/usr/bin/env bash
# Installs what the tests need, builds and runs every test: the normal build,
# an AddressSanitizer + UndefinedBehaviorSanitizer build, and a bounded run of
# each libFuzzer target (FUZZ_SECONDS each, default 60).
set -euo pipefail
cd "$(dirname "$0")"

need=()
command -v ffmpeg >/dev/null || need+=(ffmpeg)
command -v sox >/dev/null || need+=(sox)
command -v scilab-cli >/dev/null || need+=(scilab-cli)
/usr/bin/python3 -c 'import numpy, scipy' 2>/dev/null || need+=(python3-numpy python3-scipy)
/usr/bin/python3 -c 'import mutagen' 2>/dev/null || need+=(python3-mutagen)
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || need+=(python3-matplotlib)
command -v mandoc >/dev/null || need+=(mandoc)
command -v pkg-config >/dev/null || need+=(pkg-config)
pkg-config --exists taglib 2>/dev/null || need+=(libtag1-dev)
pkg-config --exists flac 2>/dev/null || need+=(libflac-dev)
pkg-config --exists libavformat libavcodec libavutil 2>/dev/null ||
  need+=(libavformat-dev libavcodec-dev libavutil-dev)
command -v flac >/dev/null || need+=(flac)
command -v parallel >/dev/null || need+=(parallel)
[ -f /usr/share/cmake/CLI11/CLI11Config.cmake ] || need+=(libcli11-dev)
pkg-config --exists libcue 2>/dev/null || need+=(libcue-dev)
[ -x /usr/bin/time ] || need+=(time)
command -v clang++ >/dev/null || need+=(clang)
[ -n "$(find /usr/lib/llvm-*/lib/clang -name 'libclang_rt.fuzzer*' 2>/dev/null | head -n 1)" ] ||
  need+=(libclang-rt-dev)
[ -e /usr/lib/llvm-14/lib/libomp.so ] || [ -e /usr/lib/x86_64-linux-gnu/libomp.so ] || need+=(libomp-dev)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPULSEMILL_WERROR=ON -DPULSEMILL_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPULSEMILL_SANITIZE=ON \
  -DPULSEMILL_WERROR=ON -DPULSEMILL_BUILD_TESTS=ON -DPULSEMILL_BUILD_BENCH=OFF >/dev/null
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPULSEMILL_FUZZ=ON -DPULSEMILL_BUILD_TESTS=OFF -DPULSEMILL_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
fuzz/run_fuzzers.sh build-fuzz "${FUZZ_SECONDS:-60}"
