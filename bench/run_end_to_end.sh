#!/usr/bin/env bash
# End-to-end conversion benchmark: whole runs of the converter (filter
# design, WAVE reading, interpolation, modulation, DSDIFF writing) on a
# generated minute of music-like audio.
#
#   bench/run_end_to_end.sh [BUILD_DIR]      (default: build/ of the project)
#
# Environment:
#   RUNS=N      runs per configuration (default 5); figures are medians
#   SINK=null   write the outputs through a symbolic link to /dev/null
#               (inside the work folder) instead of a regular file
#   DSF=1       also convert to .dsf at each 44.1 kHz rate, right after the
#               .dff row of that rate
#   FLAC=1      also convert the same signal from FLAC (encoded with the flac
#               command) at each 44.1 kHz rate, right after the WAVE row
#   EXT=1       also convert a 24-bit plain WAVE and its WAVE_FORMAT_EXTENSIBLE
#               twin (written by ffmpeg, read through FFmpeg's libraries) at DSD64
#   SHAPING=1   also convert with the rate shaper (/q) and aligned output
#               (/q /a) at each 44.1 kHz rate, right after its row, and at DSD512
#
# Builds nothing: BUILD_DIR must hold the pulsemill and wavegen binaries.
# Prints, per configuration, the median wall time, the real-time factor
# (60 s of audio / median wall time, the whole process included), the peak
# resident memory (largest "Maximum resident set size" of /usr/bin/time -v
# over the runs) and the CPU time used (user + system, median, also as a
# share of the wall time: on a busy shared machine it shows how much of the
# two cores the runs actually got).
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build}
runs=${RUNS:-5}
sink=${SINK:-file}
seconds=60

pulsemill=$build/pulsemill
wavegen=$build/wavegen
for tool in "$pulsemill" "$wavegen"; do
  if [[ ! -x $tool ]]; then
    echo "missing $tool: build the project first (cmake --build $build)" >&2
    exit 1
  fi
done
if [[ ! -x /usr/bin/time ]]; then
  echo "/usr/bin/time is missing: install it (Debian package 'time': apt-get install -y time)" >&2
  exit 1
fi
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
  echo "RUNS must be a positive integer" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-e2e.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Music-like stereo: several tones per channel at different levels plus
# white noise at -30 dBFS (peak about -5 dBFS in all).
left_signal="sine:440:-8+sine:1975:-20+sine:7040:-28+sine:13000:-36+noise:-30"
right_signal="sine:523.25:-9+sine:3135:-22+sine:11000:-30+sine:17500:-40+noise:-30"

generate() {  # OUT RATE (SECONDS | frames:N) [BITS]
  local length=(--seconds "$3")
  [[ $3 == frames:* ]] && length=(--frames "${3#frames:}")
  if ! "$wavegen" "$1" --rate "$2" --bits "${4:-16}" "${length[@]}" \
      --left "$left_signal" --right "$right_signal" --seed 7 >"$work/gen.log" 2>&1; then
    echo "wavegen failed for $1:" >&2
    cat "$work/gen.log" >&2
    exit 1
  fi
}

echo "Generating ${seconds} s of 16-bit stereo at 44.1, 48 and 96 kHz in $work ..."
generate "$work/in44.wav" 44100 "$seconds"
generate "$work/in48.wav" 48000 "$seconds"
generate "$work/in96.wav" 96000 "$seconds"
generate "$work/empty44.wav" 44100 frames:0
if [[ ${FLAC:-0} == 1 ]] && ! flac -s -o "$work/in44.flac" "$work/in44.wav"; then
  echo "flac could not encode the input (Debian package 'flac')" >&2
  exit 1
fi
if [[ ${EXT:-0} == 1 ]]; then
  generate "$work/in44_24.wav" 44100 "$seconds" 24
  if ! ffmpeg -nostdin -v error -i "$work/in44_24.wav" -c:a pcm_s24le "$work/in44_ext.wav"; then
    echo "ffmpeg could not write the extensible twin (Debian package 'ffmpeg')" >&2
    exit 1
  fi
fi

out_dff=$work/out.dff
out_dsf=$work/out.dsf
out=$out_dff
if [[ $sink == null ]]; then
  ln -s /dev/null "$out_dff"
  ln -s /dev/null "$out_dsf"
fi

rows=()
failures=0
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# bench LABEL INPUT AUDIO_SECONDS RUN_COUNT [OPTIONS...]
bench() {
  local label=$1 input=$2 audio=$3 count=$4
  shift 4
  local walls=() cpus=() cpusecs=() peak=0 rate="?" taps="?" digests=() status=ok
  local k
  for ((k = 1; k <= count; k++)); do
    [[ $sink == null ]] || rm -f "$out"
    local t0 t1
    t0=$(date +%s%N)
    /usr/bin/time -v -o "$work/time.txt" "$pulsemill" "$input" "$out" "$@" >"$work/run.log" 2>&1
    local rc=$?
    t1=$(date +%s%N)
    if ((rc != 0)); then
      echo "  $label: run $k ended with status $rc; last lines:" >&2
      tail -n 5 "$work/run.log" >&2
      status="FAILED(status $rc)"
      failures=$((failures + 1))
      break
    fi
    local wall rss user sys
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
    user=$(awk -F': ' '/User time \(seconds\)/ { print $2 }' "$work/time.txt")
    sys=$(awk -F': ' '/System time \(seconds\)/ { print $2 }' "$work/time.txt")
    walls+=("$wall")
    cpusecs+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')")
    cpus+=("$(awk -v u="$user" -v s="$sys" -v w="$wall" 'BEGIN { printf "%.0f", 100 * (u + s) / w }')")
    rss=${rss:-0}
    ((rss > peak)) && peak=$rss
    if ((k == 1)); then
      rate=$(sed -n 's/^DSD\([0-9]*\):.*/\1/p' "$work/run.log" | head -n 1)
      taps=$(sed -n 's/.*Tap\[\([0-9]*\)\].*/\1/p' "$work/run.log" | head -n 1)
    fi
    if [[ $sink != null ]]; then
      digests+=("$(md5sum <"$out" | cut -d' ' -f1)")
      rm -f "$out"
    fi
  done
  local med="-" factor="-" mem="-" cpu="-" cpusec="-" spread="-" same="-"
  if ((${#walls[@]} > 0)); then
    med=$(median "${walls[@]}")
    spread="$(printf '%s\n' "${walls[@]}" | sort -g | head -n 1)-$(printf '%s\n' "${walls[@]}" | sort -g | tail -n 1)"
    if ((audio > 0)); then
      factor=$(awk -v a="$audio" -v m="$med" 'BEGIN { printf "%.1fx", a / m }')
    fi
    mem=$(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }')
    cpu="$(median "${cpus[@]}" | cut -d. -f1)%"
    cpusec=$(median "${cpusecs[@]}" | awk '{ printf "%.2f", $1 }')
    if ((${#digests[@]} > 1)); then
      if [[ $(printf '%s\n' "${digests[@]}" | sort -u | wc -l) -eq 1 ]]; then same=yes; else same=NO; fi
    fi
  fi
  [[ $status == ok ]] || med=$status
  rows+=("$(printf '%-30s %-4s %-6s %4s %9s %-13s %7s %8s %7s %5s %s' \
    "$label" "${rate:-?}" "${taps:-?}" "${#walls[@]}" "$med" "$spread" "$factor" "$mem" "$cpusec" "$cpu" "$same")")
  echo "  done: $label"
}

echo "Converting ($runs runs each; output to $sink) ..."
for rate in 64 128 256; do
  bench "44.1k /DSD$rate"            "$work/in44.wav" "$seconds" "$runs" /DSD$rate
  if [[ ${FLAC:-0} == 1 ]]; then
    bench "44.1k /DSD$rate from FLAC"  "$work/in44.flac" "$seconds" "$runs" /DSD$rate
  fi
  if [[ ${SHAPING:-0} == 1 ]]; then
    bench "44.1k /DSD$rate /q"         "$work/in44.wav" "$seconds" "$runs" /DSD$rate /q
    bench "44.1k /DSD$rate /q /a"      "$work/in44.wav" "$seconds" "$runs" /DSD$rate /q /a
  fi
  if [[ ${DSF:-0} == 1 ]]; then
    out=$out_dsf
    bench "44.1k /DSD$rate .dsf"       "$work/in44.wav" "$seconds" "$runs" /DSD$rate
    out=$out_dff
  fi
done
if [[ ${SHAPING:-0} == 1 ]]; then
  bench "44.1k /DSD512"              "$work/in44.wav" "$seconds" "$runs" /DSD512
fi
if [[ ${EXT:-0} == 1 ]]; then
  bench "44.1k 24-bit /DSD64"          "$work/in44_24.wav" "$seconds" "$runs" /DSD64
  bench "44.1k 24-bit extensible /DSD64" "$work/in44_ext.wav" "$seconds" "$runs" /DSD64
fi
bench "48k (default)"              "$work/in48.wav" "$seconds" "$runs"
bench "96k (default)"              "$work/in96.wav" "$seconds" "$runs"
bench "44.1k /DSD256 /t:65536"     "$work/in44.wav" "$seconds" 1 /DSD256 /t:65536
bench "design only: 0 frames /DSD64" "$work/empty44.wav" 0 "$runs" /DSD64

echo
echo "End to end, ${seconds} s of 16-bit stereo input; $(nproc) CPUs; load average at start: $load_before, at end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-30s %-4s %-6s %4s %9s %-13s %7s %8s %7s %5s %s\n' \
  "configuration" "DSD" "taps" "runs" "median s" "min-max s" "x real" "peak MB" "CPU s" "CPU" "same output"
for row in "${rows[@]}"; do
  echo "$row"
done
echo
echo "x real = ${seconds} s / median wall time (the whole process: filter design included)."
echo "peak MB = largest maximum resident set size over the runs (/usr/bin/time -v)."
echo "CPU s = user + system seconds, median; CPU = CPU s / wall, median (200% = both cores busy)."
echo "same output = every run wrote the same bytes (md5); '-' with one run or SINK=null."
echo "The design-only row converts a WAVE file with no frames: start-up, filter design and header."
exit $((failures > 0))
