#!/usr/bin/env bash
# Builds Pulsemill and converts a file:
#   ./run.sh                      generates a 5-second test tone and converts it at DSD64
#   ./run.sh in.wav [options...]  converts in.wav, in.flac, in.aiff, ... (options as for pulsemill, e.g. /DSD128)
set -euo pipefail
cd "$(dirname "$0")"
# The libraries the converter links besides the compiler's: TagLib, libFLAC,
# FFmpeg's libavformat, libavcodec and libavutil, CLI11 and libcue.
if ! { command -v pkg-config >/dev/null &&
       pkg-config --exists taglib flac libavformat libavcodec libavutil libcue &&
       [ -f /usr/share/cmake/CLI11/CLI11Config.cmake ]; }; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkg-config libtag1-dev libflac-dev \
    libavformat-dev libavcodec-dev libavutil-dev libcli11-dev libcue-dev >/dev/null
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target pulsemill wavegen >/dev/null
if [ $# -eq 0 ]; then
  mkdir -p out
  ./build/wavegen out/tone.wav --rate 44100 --bits 16 --seconds 5 \
    --left sine:1000:-6 --right sine:1500:-6
  set -- out/tone.wav /DSD64
  echo "Generated out/tone.wav (1 kHz left, 1.5 kHz right, -6 dBFS, 5 s)"
fi
exec ./build/pulsemill "$@"
