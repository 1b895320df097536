#!/usr/bin/env bash
# Automatic gain benchmark: the three loud masters of tools/make_masters.py
# (SECONDS_LONG long, default 20) at the RATES (default "64 256") with the
# SHAPERS (default "fixed": pattern 2; "rate": the rate shaper) and default
# taps. For each: G, the highest whole-dB gain from 0 to -12 at which
# `--gain G` converts (a sweep; with the rate shaper, converts without a
# restart of its loop), the gain `--gain auto` ends at, the automatic run's
# time and one conversion's time at that gain, and their ratio.
#
#   bench/auto_gain.sh [PULSEMILL]        (default: build/pulsemill)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-$(dirname "$here")/build/pulsemill}
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-gain.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$(dirname "$here")/tools/make_masters.py" "$work" --seconds "${SECONDS_LONG:-20}" || exit 1

seconds() { local start; start=$(date +%s.%N); "$@" >/dev/null 2>&1; local s=$?; echo "$(date +%s.%N) - $start" | bc; return $s; }
echo "masters of ${SECONDS_LONG:-20} s; $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %-6s %-7s %5s %8s %8s %10s %6s\n' master shaper rate G auto "auto s" "one run s" ratio
for shaper in ${SHAPERS:-fixed}; do
for master in limited clip0025 clip7; do
  for rate in ${RATES:-64 256}; do
    design=(--shaper-design "$shaper")
    g=none
    for ((d = 0; d >= -12; d--)); do
      if "$bin" --rate "$rate" "${design[@]}" --gain "$d" -f -q -o "$work/o.dsf" "$work/$master.wav" \
           >/dev/null 2>"$work/err" && ! grep -q "brief overload" "$work/err"; then
        g=$d; break
      fi
    done
    line=$("$bin" --rate "$rate" "${design[@]}" -f -o "$work/o.dsf" "$work/$master.wav" 2>&1 | grep '\[1/1\]')
    final=$(sed -n 's/.*converted at \(-*[0-9.]*\) dB.*/\1/p' <<<"$line")
    [[ -z $final ]] && final=$(grep -q ': converted,' <<<"$line" && echo 0 || echo clip)
    auto=$(seconds "$bin" --rate "$rate" "${design[@]}" -f -o "$work/o.dsf" "$work/$master.wav")
    one=nan
    [[ $final != clip ]] && one=$(seconds "$bin" --rate "$rate" "${design[@]}" --gain "$final" -f \
                                   -o "$work/o.dsf" "$work/$master.wav")
    printf '%-10s %-6s DSD%-4s %5s %8s %8.2f %10.2f %6.2f\n' "$master" "$shaper" "$rate" "$g" "$final" \
      "$auto" "$one" "$(echo "$auto / $one" | bc -l 2>/dev/null || echo 0)"
  done
done
done
