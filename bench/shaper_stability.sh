#!/usr/bin/env bash
# Shaper stability: for each fixed pattern (1-5) at DSD64, DSD128 and
# DSD256 and the rate shaper at DSD64 to DSD512, the largest level of a
# 1 kHz sine (from a 32-bit float WAVE, so above full scale too) that
# converts without an overload, in 0.5 dB steps from -6 to +3 dBFS,
# scanning upward to the first overload (for the rate shaper: the first
# restart of its loop, which its guard survives). DURATION seconds per sine
# (default 10); --taps 2048 and --gain 0 (no automatic gain).
#
#   bench/shaper_stability.sh [PULSEMILL]     (default: build/pulsemill)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-$(dirname "$here")/build/pulsemill}
seconds=${DURATION:-10}
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-stability.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
levels=$(seq -6 0.5 3)
for db in $levels; do  # stereo float WAVE (format tag 3), the sine on both channels
  /usr/bin/python3 - "$work/s$db.wav" "$db" "$seconds" <<'PY' || exit 1
import struct, sys
import numpy as np
path, db, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
rate = 44100
x = (10 ** (db / 20) * np.sin(2 * np.pi * 1000 * np.arange(int(rate * seconds)) / rate)).astype('<f4')
data = np.repeat(x, 2).tobytes()
fmt = struct.pack('<HHIIHH', 3, 2, rate, rate * 8, 8, 32)
with open(path, 'wb') as f:
    f.write(b'RIFF' + struct.pack('<I', 4 + 8 + len(fmt) + 8 + len(data)) + b'WAVE')
    f.write(b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data)
PY
done
largest() {  # shaper options, rate: the last level that converts
  local last="below -6"
  for db in $levels; do
    "$bin" --rate "$2" $1 --taps 2048 --gain 0 -f -q -o "$work/o.dsf" "$work/s$db.wav" \
      >/dev/null 2>"$work/err" || break
    grep -q "brief overload" "$work/err" && break
    last=$db
  done
  echo "$last"
}
echo "1 kHz sine, $seconds s per level; $(nproc) CPUs"
printf '%-14s %8s %8s %8s %8s\n' shaper DSD64 DSD128 DSD256 DSD512
for p in 1 2 3 4 5; do
  printf '%-14s %8s %8s %8s %8s\n' "pattern $p" "$(largest "--shaper $p" 64)" \
    "$(largest "--shaper $p" 128)" "$(largest "--shaper $p" 256)" "-"
done
printf '%-14s %8s %8s %8s %8s\n' "rate shaper" "$(largest "--shaper-design rate" 64)" \
  "$(largest "--shaper-design rate" 128)" "$(largest "--shaper-design rate" 256)" \
  "$(largest "--shaper-design rate" 512)"
