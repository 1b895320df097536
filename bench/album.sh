#!/usr/bin/env bash
# Album benchmark: one seeded music-like piece (sines and noise, peaks near
# -8 dBFS, RMS -16 dBFS; 44.1 kHz, 24-bit) of 8 x SECONDS_PER_TRACK seconds,
# cut into 8 tracks a few hundred to a few thousand frames off whole seconds.
#  - Wall time, median of RUNS runs taken in turn: the folder as an album,
#    `--album --gain 0`, against the files one by one, `--align --gain 0`
#    (the batch, several files at a time), both into DSF; their ratio.
#  - The joins: the whole piece as one file, `--align --gain 0 --format dff`,
#    against the album's and the one-by-one tracks' DSDIFF sound data joined
#    end to end, byte for byte and decoded by ffmpeg (bench/album_join.py):
#    the album's join should be identical, the one-by-one tracks' should not.
#
#   bench/album.sh [PULSEMILL [RUNS]]   (default: build/pulsemill, 3 runs; wavegen
#                                       beside PULSEMILL)
#   env: RATE (default 64), SECONDS_PER_TRACK (default 20), TAPS (default: the
#        program's own, 32768 up to DSD256), all runs alike
# The defaults take about 3 minutes on 2 cores; RATE=256 SECONDS_PER_TRACK=5
# about 1.5.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-$(dirname "$here")/build/pulsemill}
runs=${2:-3}
rate=${RATE:-64}
per=${SECONDS_PER_TRACK:-20}
wavegen=$(dirname "$bin")/wavegen
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-album.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
common=(--rate "$rate" --gain 0 -f -q)
[[ -n ${TAPS:-} ]] && common+=(--taps "$TAPS")

# The piece, and 8 tracks of it whose lengths differ from SECONDS_PER_TRACK
# by these frames (adding up to none); the whole is the tracks joined again.
"$wavegen" "$work/piece.wav" --rate 44100 --bits 24 --seconds $((8 * per)) --seed 7 \
  --left "sine:110:-16+sine:440:-18+sine:1320:-22+sine:3960:-28+noise:-26" \
  --right "sine:165:-16+sine:660:-18+sine:1980:-22+sine:5940:-28+noise:-26" >/dev/null || exit 1
mkdir -p "$work/tracks"
start=0
lengths=()
for delta in 1234 -777 2345 -321 456 -1999 888 -1826; do
  lengths+=($((per * 44100 + delta)))
  sox "$work/piece.wav" "$work/tracks/$(printf 't%02d' ${#lengths[@]}).wav" \
    trim "${start}s" "${lengths[-1]}s" || exit 1
  start=$((start + lengths[-1]))
done
sox "$work"/tracks/t*.wav "$work/whole.wav" || exit 1
[[ $(sox --i -s "$work/whole.wav") == "$start" ]] || { echo "the tracks do not add up to $start frames"; exit 1; }

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
# timed LOG COMMAND...: the run's wall time in $elapsed, its stderr in LOG.
timed() {
  local log=$1 begin; shift
  begin=$(date +%s.%N)
  "$@" >/dev/null 2>"$log" || { echo "failed: $*"; cat "$log"; exit 1; }
  elapsed=$(printf '%.3f' "$(echo "$(date +%s.%N) - $begin" | bc)")
}

cpu() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -n 1; }
echo "CPU: $(cpu 'model name') (family $(cpu 'cpu family'), model $(cpu model)); $(nproc) cores;" \
  "load $(cut -d' ' -f1-3 /proc/loadavg) at start"
echo "8 tracks of ${per} s +-, frames: ${lengths[*]} ($start in all); DSD$rate," \
  "taps ${TAPS:-default}, $runs runs"
album=() batch=()
for ((r = 0; r < runs; r++)); do
  timed "$work/album.err" "$bin" --album "${common[@]}" -d "$work/outA" "$work/tracks"
  album+=("$elapsed")
  timed "$work/batch.err" "$bin" --align "${common[@]}" -d "$work/outB" "$work/tracks"
  batch+=("$elapsed")
done
a=$(printf '%s\n' "${album[@]}" | median)
b=$(printf '%s\n' "${batch[@]}" | median)
echo "album       s: ${album[*]} (median $a)"
echo "one by one s: ${batch[*]} (median $b)"
awk -v a="$a" -v b="$b" 'BEGIN { printf "album / one by one: %.2f\n", a / b }'
sed 's/^/  album run: /' "$work/album.err"
sed 's/^/  one by one run: /' "$work/batch.err"

echo
timed "$work/whole.err" "$bin" --align "${common[@]}" --format dff -o "$work/whole.dff" "$work/whole.wav"
echo "the whole piece as one file: $elapsed s"
timed "$work/album.err" "$bin" --album "${common[@]}" --format dff -d "$work/joinA" "$work/tracks"
timed "$work/batch.err" "$bin" --align "${common[@]}" --format dff -d "$work/joinB" "$work/tracks"
/usr/bin/python3 "$here/album_join.py" "$work/whole.dff" "$work" \
  "album=$work/joinA" "one-by-one=$work/joinB" || exit 1
