#!/usr/bin/env python3
"""The decoding tests' measure: level and SNR of a tone per channel of a
decoded stereo WAVE file, one line per channel, with the report tool's tone
analysis (tools/pulsemill_report.py, whose folder is given first).

    tone_measure.py TOOLS_DIR WAVE --freq HZ [--freq-right HZ] [--skip S] [--length S]
"""
import argparse
import sys

import numpy as np
import scipy.io.wavfile


def main(argv):
    sys.path.insert(0, argv[0])
    from pulsemill_report import analyze_tone
    parser = argparse.ArgumentParser()
    parser.add_argument("wave")
    parser.add_argument("--freq", type=float, required=True)
    parser.add_argument("--freq-right", type=float)
    parser.add_argument("--skip", type=float, default=0.1)
    parser.add_argument("--length", type=float, default=0.4)
    args = parser.parse_args(argv[1:])
    rate, data = scipy.io.wavfile.read(args.wave)
    scale = {np.dtype(np.int16): 32768.0, np.dtype(np.int32): 2147483648.0}.get(data.dtype, 1.0)
    start, count = int(round(args.skip * rate)), int(round(args.length * rate))
    if data.ndim != 2 or start + count > data.shape[0]:
        print("not a stereo file of %d frames" % (start + count), file=sys.stderr)
        return 1
    freqs = [args.freq, args.freq_right if args.freq_right is not None else args.freq]
    for ch in range(2):
        x = data[start:start + count, ch].astype(np.float64) / scale
        level, snr, mean = analyze_tone(x, rate, freqs[ch])
        print("channel %d freq %g level_dbfs %.3f snr_db %.2f mean %.9f" % (ch, freqs[ch], level, snr,
                                                                           mean))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
