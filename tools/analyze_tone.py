#!/usr/bin/python3
"""Tone level and in-band SNR of a decoded stereo WAVE file.

    analyze_tone.py DECODED.wav --freq HZ [--freq-right HZ]
                    [--skip SECONDS] [--length SECONDS]
                    [--band-low HZ] [--band-high HZ] [--beta BETA]

For each channel, takes LENGTH seconds starting SKIP seconds into the file
(past the run-in of the converter's and the decoder's filters), applies a
Kaiser window and an FFT, and prints one line:

    channel C freq F level_dbfs L snr_db S mean M

L is the tone's peak level relative to integer full scale (a full-scale
sine reads 0.0 dBFS). S is the tone's power over the power of everything
else between the band edges (noise and distortion), with the tone's bins
excluded. M is the mean of the samples relative to full scale (the DC
content, with its sign). The tone's power is taken from the bins of its main lobe, so the
level does not depend on where the frequency falls between bins.

Needs numpy and scipy (Debian: python3-numpy, python3-scipy).
"""
import argparse
import sys

import numpy as np
import scipy.io.wavfile
import scipy.signal


def full_scale(dtype):
    if dtype == np.int16:
        return 32768.0
    if dtype == np.int32:
        return 2147483648.0
    if dtype == np.uint8:
        return 128.0
    return 1.0  # float formats


def analyze_channel(x, rate, freq, band_low, band_high, beta):
    n = len(x)
    window = scipy.signal.windows.kaiser(n, beta, sym=False)
    spectrum = np.fft.rfft(x * window)
    energy = np.abs(spectrum) ** 2
    bin_hz = rate / n
    # Main-lobe half width of the Kaiser window in bins, with a margin.
    lobe = int(np.ceil(np.sqrt(1.0 + (beta / np.pi) ** 2))) + 4
    centre = int(round(freq / bin_hz))
    tone = np.zeros(len(energy), dtype=bool)
    tone[max(centre - lobe, 0):centre + lobe + 1] = True

    # Parseval: a sine of peak A puts N * sum(w^2) * A^2 / 4 into the
    # positive-frequency bins; other content of mean square P puts
    # N * sum(w^2) * P / 2 there.
    norm = n * np.sum(window ** 2)
    amplitude = 2.0 * np.sqrt(np.sum(energy[tone]) / norm)
    freqs = np.arange(len(energy)) * bin_hz
    band = (freqs >= band_low) & (freqs <= band_high) & ~tone
    noise_ms = 2.0 * np.sum(energy[band]) / norm
    signal_ms = amplitude ** 2 / 2.0
    level = 20.0 * np.log10(amplitude) if amplitude > 0 else -np.inf
    snr = 10.0 * np.log10(signal_ms / noise_ms) if noise_ms > 0 else np.inf
    return level, snr, float(np.mean(x))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wave")
    parser.add_argument("--freq", type=float, required=True, help="tone of the left channel (and the right, unless --freq-right)")
    parser.add_argument("--freq-right", type=float, help="tone of the right channel")
    parser.add_argument("--skip", type=float, default=0.1)
    parser.add_argument("--length", type=float, default=0.4)
    parser.add_argument("--band-low", type=float, default=20.0)
    parser.add_argument("--band-high", type=float, default=20000.0)
    parser.add_argument("--beta", type=float, default=20.0)
    args = parser.parse_args(argv)

    rate, data = scipy.io.wavfile.read(args.wave)
    if data.ndim != 2 or data.shape[1] != 2:
        print("not a stereo file", file=sys.stderr)
        return 1
    start = int(round(args.skip * rate))
    count = int(round(args.length * rate))
    if start + count > data.shape[0]:
        print("file too short: %d frames, need %d" % (data.shape[0], start + count), file=sys.stderr)
        return 1
    scale = full_scale(data.dtype)
    freqs = [args.freq, args.freq_right if args.freq_right is not None else args.freq]
    for channel in range(2):
        x = data[start:start + count, channel].astype(np.float64) / scale
        level, snr, mean = analyze_channel(x, rate, freqs[channel], args.band_low, args.band_high,
                                           args.beta)
        print("channel %d freq %g level_dbfs %.3f snr_db %.2f mean %.9f"
              % (channel, freqs[channel], level, snr, mean))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
