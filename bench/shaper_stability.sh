#!/usr/bin/env bash
# Shaper stability: for each fixed pattern (1-5) at DSD64, DSD128 and
# DSD256 and the rate shaper at DSD64 to DSD512, the largest level of a
# 1 kHz sine (from a 32-bit float WAVE, so above full scale too) that
# converts without an overload, in 0.5 dB steps from -6 to +3 dBFS,
# scanning upward to the first overload (for the rate shaper: the first
# restart of its loop, which its guard survives). DURATION seconds per sine
# (default 10); --taps 2048 and --gain 0 (no automatic gain).
#
#   bench/shaper_stability.sh [PULSEMILL]     (default: build/pulsemill; the
#                                             signals from tools/wavegen beside it)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-$(dirname "$here")/build/pulsemill}
seconds=${DURATION:-10}
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-stability.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
levels=$(seq -6 0.5 3)
wavegen=$(dirname "$bin")/wavegen
for db in $levels; do  # stereo float WAVE, the sine on both channels
  "$wavegen" "$work/s$db.wav" --rate 44100 --float --seconds "$seconds" --both "sine:1000:$db" || exit 1
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
