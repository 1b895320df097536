#!/usr/bin/env bash
# Batch benchmark: an album of 8 files of 30 s (44.1 kHz, 24-bit) converted
# (a) one after another with the slash grammar and (b) by the batch driver,
# `pulsemill --rate N --format dff -j auto DIR`, at DSD64 and DSD256; then a
# model, from the measured per-file costs, of both ways on more cores.
#
#   bench/run_batch.sh [BUILD_DIR]     (default: build/ of the project)
#
# Model: a file costs T1 seconds of work on one thread; its modulator, one
# serial chain, takes Tmod = samples x the modulator's ns/step (measured by
# bench_modulator when it is built, else 9.5 ns). One file at a time on C
# cores runs at best in max(Tmod, T1 / C); C files at a time, one thread
# each, finish C files per T1 (the cores' memory bandwidth assumed ample).
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-$(dirname "$here")/build}
pulsemill=$build/pulsemill
wavegen=$build/wavegen
files=8
seconds=30
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-batch.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
mkdir -p "$work/album"
for ((i = 1; i <= files; i++)); do
  "$wavegen" "$work/album/t$i.wav" --rate 44100 --bits 24 --seconds "$seconds" \
    --left "sine:$((200 * i)):-8+noise:-40" --right "sine:$((300 * i)):-9+noise:-40" \
    --seed "$i" >/dev/null || exit 1
done

ns_per_step=9.5
if [[ -x $build/bench_modulator ]]; then
  measured=$("$build/bench_modulator" --benchmark_filter='ModulateBlock/x:64' 2>/dev/null |
             grep median | sed -n 's/.*ns\/step=\([0-9.]*\).*/\1/p' | head -n 1)
  [[ -n $measured ]] && ns_per_step=$measured
fi

echo "Album: $files files of $seconds s, 44.1 kHz 24-bit; $(nproc) CPUs; modulator $ns_per_step ns/step"
printf '%-7s %12s %12s %7s %6s %10s\n' rate "one by one s" "batch s" ratio same "T1 s/file"
for rate in 64 256; do
  rm -f "$work"/album/*.dff
  t0=$(now)
  for f in "$work"/album/*.wav; do "$pulsemill" "$f" "/DSD$rate" >/dev/null || exit 1; done
  t1=$(now)
  (cd "$work/album" && md5sum ./*.dff) >"$work/one.md5"
  rm -f "$work"/album/*.dff
  t2=$(now)
  "$pulsemill" --rate "$rate" --format dff -j auto -q "$work/album" 2>/dev/null || exit 1
  t3=$(now)
  (cd "$work/album" && md5sum ./*.dff) >"$work/batch.md5"
  same=$(cmp -s "$work/one.md5" "$work/batch.md5" && echo yes || echo NO)
  rm -f "$work"/album/*.dff
  t4=$(now)
  OMP_NUM_THREADS=1 "$pulsemill" "$work/album/t1.wav" "$work/one.dff" "/DSD$rate" >/dev/null
  t5=$(now)
  awk -v r="$rate" -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v s="$same" -v e="$t4" -v f="$t5" \
    'BEGIN { printf "DSD%-4s %12.2f %12.2f %7.2f %6s %10.2f\n", r, b - a, d - c, (b - a) / (d - c), s, f - e }'
  model+=("$rate $(awk -v e="$t4" -v f="$t5" 'BEGIN { print f - e }')")
done

echo
echo "Model (x real time for the album; from T1 and Tmod above):"
printf '%-7s %6s %14s %14s %7s\n' rate cores "one at a time" "files at once" gain
for entry in "${model[@]}"; do
  read -r rate t1 <<<"$entry"
  for cores in 4 8 16 64; do
    awk -v r="$rate" -v t1="$t1" -v c="$cores" -v ns="$ns_per_step" -v s="$seconds" 'BEGIN {
      tmod = s * 44100 * r * ns * 1e-9
      single = t1 / c; if (single < tmod) single = tmod
      one = s / single; many = c * s / t1
      printf "DSD%-4s %6d %13.1fx %13.1fx %6.1fx\n", r, c, one, many, many / one }'
  done
done
