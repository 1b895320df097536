#!/usr/bin/env bash
# The rate shaper's in-band SNR from files: an undithered -6 dBFS 1 kHz tone
# (10 s, 44.1 kHz) in a 24-bit and in a 32-bit float WAVE file, converted
# with --shaper-design rate at DSD128, DSD256 and DSD512 and decoded by
# ffmpeg and by the report's exact decoder. The figure is the report's
# THD+N turned round: the tone over everything else in 20 Hz-20 kHz,
# harmonics included. The sources' own floors are printed first.
#
#   bench/rate_shaper_snr.sh [PULSEMILL]     (default: build/pulsemill; the
#                                            tones from tools/wavegen beside it)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-$(dirname "$here")/build/pulsemill}
report="/usr/bin/python3 $(dirname "$here")/tools/pulsemill_report.py"
work=$(mktemp -d "${TMPDIR:-/tmp}/pulsemill-snr.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
wavegen=$(dirname "$bin")/wavegen
"$wavegen" "$work/int24.wav" --rate 44100 --bits 24 --seconds 10 --both sine:1000:-6 || exit 1
"$wavegen" "$work/float32.wav" --rate 44100 --float --seconds 10 --both sine:1000:-6 || exit 1
# The sources' own floors: the stored samples against the ideal tone.
/usr/bin/python3 - "$work" <<'PY' || exit 1
import sys
import numpy as np
import scipy.io.wavfile
for name in ('int24', 'float32'):
    rate, data = scipy.io.wavfile.read(sys.argv[1] + '/' + name + '.wav')
    stored = data[:, 0] / (8388607.0 * 256 if data.dtype == np.int32 else 1.0)
    x = 10 ** (-6 / 20) * np.sin(2 * np.pi * 1000 * np.arange(len(stored)) / rate)
    window = np.kaiser(len(x), 28)
    spectrum = np.abs(np.fft.rfft((stored - x) * window)) ** 2
    f = np.fft.rfftfreq(len(x), 1 / rate)
    band = (f >= 20) & (f <= 20000)
    noise = spectrum[band].sum() / np.sum(window ** 2) * 2 / len(x)
    print('%-8s source floor %.1f dB' % (name, 10 * np.log10(np.mean(x ** 2) / noise)))
PY
printf '%-8s %-7s %8s %8s\n' source rate ffmpeg exact
for source in int24 float32; do
  for rate in 128 256 512; do
    "$bin" --rate "$rate" --shaper-design rate --gain 0 -f -q -o "$work/o.dsf" "$work/$source.wav" \
      >/dev/null 2>&1 || { echo "$source DSD$rate: conversion failed"; continue; }
    figures=""
    for decoder in ffmpeg exact; do
      figures+=$(printf ' %8.2f' "$($report "$work/o.dsf" --decoder "$decoder" |
                                    awk '$1 == "left" && $2 == "thd_n" { print -$3 }')")
    done
    printf '%-8s DSD%-4s%s\n' "$source" "$rate" "$figures"
  done
done
