#!/usr/bin/env bash
# Input opening and start-up benchmark: for four kinds of input (16-bit
# WAVE, 24-bit WAVE_FORMAT_EXTENSIBLE written by ffmpeg, 24-bit FLAC written
# by flac, ALAC .m4a written by ffmpeg), each converted at /DSD64 /t:2048 to
# DSF and to DSDIFF:
#   in opens   openat/open calls (strace -f) on the input path or /proc/self/fd
#   dir opens  openat/open calls on any file of the work folder, the output's
#              temporary files ('.pulsemill-') excepted
#   start ms   median wall time of RUNS conversions of a 0.05 s input
#   RSS kB     median maximum resident set size of RUNS 1 s conversions
#
#   bench/input_opens.sh [PULSEMILL [PULSEMILL_AFTER]]   (default: build/pulsemill)
#
# With two binaries every figure is printed as "before after".
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bins=("${1:-$(dirname "$here")/build/pulsemill}")
[[ $# -ge 2 ]] && bins+=("$2")
runs=${RUNS:-5}
for tool in "${bins[@]}" strace sox ffmpeg flac /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-opens.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# make SUFFIX SECONDS: the four inputs, named plain, ext, flac, alac + SUFFIX.
make_inputs() {
  local s=$1 len=$2 w=$work
  sox -n -r 44100 -c 2 -b 16 "$w/plain$s.wav" synth "$len" sine 440 sine 523 vol 0.5 &&
  sox -n -r 44100 -c 2 -b 24 "$w/src$s.wav" synth "$len" sine 440 sine 523 vol 0.5 &&
  ffmpeg -nostdin -v error -i "$w/src$s.wav" -c:a pcm_s24le "$w/ext$s.wav" &&
  flac -s -o "$w/flac$s.flac" "$w/ext$s.wav" 2>/dev/null &&
  ffmpeg -nostdin -v error -i "$w/src$s.wav" -c:a alac "$w/alac$s.m4a" &&
  rm "$w/src$s.wav"
}
make_inputs "" 1 && make_inputs _short 0.05 || { echo "could not make the inputs" >&2; exit 1; }

# measure BIN INPUT SHORT_INPUT FORMAT: prints "in_opens dir_opens start_ms rss_kB".
measure() {
  local bin=$1 in=$2 short=$3 out=$work/out.$4 opts=(/DSD64 /t:2048) ms=() kb=() k t0 t1
  [[ $4 == dsf ]] && opts+=(/dsf)
  strace -f -e trace=openat,open -o "$work/log" "$bin" "$in" "$out" "${opts[@]}" >/dev/null 2>&1 ||
    { echo "$bin failed on $in" >&2; exit 1; }
  local ins dir
  ins=$(grep -cF -e "\"$in\"" -e '"/proc/self/fd/' "$work/log")
  dir=$(grep -F "\"$work/" "$work/log" | grep -cvF '.pulsemill-')
  for ((k = 0; k < runs; k++)); do
    t0=$(date +%s%N)
    "$bin" "$short" "$out" "${opts[@]}" >/dev/null 2>&1
    t1=$(date +%s%N)
    ms+=($(((t1 - t0) / 1000000)))
    /usr/bin/time -f '%M' -o "$work/time" "$bin" "$in" "$out" "${opts[@]}" >/dev/null 2>&1
    kb+=("$(tail -n 1 "$work/time")")
  done
  rm -f "$out"
  echo "$ins $dir $(median "${ms[@]}") $(median "${kb[@]}")"
}

echo "${bins[*]}; $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg); $runs runs; /DSD64 /t:2048"
[[ ${#bins[@]} -eq 2 ]] && echo "each figure: before after"
printf '%-6s %-6s %12s %12s %14s %16s\n' input output "in opens" "dir opens" "start ms" "RSS kB"
for kind in plain.wav ext.wav flac.flac alac.m4a; do
  for fmt in dsf dff; do
    results=()
    for bin in "${bins[@]}"; do
      results+=("$(measure "$bin" "$work/$kind" "$work/${kind%.*}_short.${kind#*.}" "$fmt")") || exit 1
    done
    echo "${results[@]}" | awk -v k="${kind%.*}" -v f="$fmt" -v n=${#bins[@]} '{
      for (i = 1; i <= 4; i++) c[i] = (n == 2) ? $i " " $(i + 4) : $i
      printf "%-6s %-6s %12s %12s %14s %16s\n", k, f, c[1], c[2], c[3], c[4] }'
  done
done
