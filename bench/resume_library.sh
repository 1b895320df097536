#!/usr/bin/env bash
# Resume benchmark: a library of N small files (0.05 s, 44.1 kHz, 16-bit,
# in folders of 50) converted once, then the same command again, when
# every output exists and is only checked: the second run's wall time
# (median of RUNS) and the files it opens (strace), for one or two builds.
#
#   bench/resume_library.sh [PULSEMILL [PULSEMILL_AFTER]]    (N=1000 RUNS=3)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bins=("${1:-$(dirname "$here")/build/pulsemill}")
[[ $# -ge 2 ]] && bins+=("$2")
files=${N:-1000}
runs=${RUNS:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-resume.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"
sox -n -r 44100 -b 16 -c 2 "$work/src/one.wav" synth 0.05 sine 1000 2>/dev/null || exit 1
for ((i = 0; i < files; i++)); do
  mkdir -p "$work/src/d$((i / 50))"
  cp "$work/src/one.wav" "$work/src/d$((i / 50))/t$i.wav"
done
rm "$work/src/one.wav"

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
echo "$files files of 0.05 s; $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg); $runs runs"
printf '%-40s %10s %14s %12s\n' build "first s" "second s (med)" "opens 2nd"
for bin in "${bins[@]}"; do
  rm -rf "$work/lib" && cp -r "$work/src" "$work/lib"
  cmd=("$bin" --rate 64 --taps 2048 -q "$work/lib")
  start=$(date +%s.%N); "${cmd[@]}" 2>/dev/null; first=$(echo "$(date +%s.%N) - $start" | bc)
  second=$(for ((r = 0; r < runs; r++)); do
    start=$(date +%s.%N); "${cmd[@]}" 2>/dev/null; echo "$(date +%s.%N) - $start" | bc
  done | median)
  opens=$(strace -f -e trace=openat -o "$work/trace" "${cmd[@]}" 2>/dev/null;
          grep -c "$work/lib/" "$work/trace")
  printf '%-40s %10.2f %14.3f %12s\n' "$bin" "$first" "$second" "$opens"
done
