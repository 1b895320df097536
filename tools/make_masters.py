#!/usr/bin/env python3
"""Writes three loud synthetic masters of a drum-and-bass mix (24-bit, 44.1 kHz,
left and right nearly alike), seeded, for the automatic gain's tests and
benchmark:

  limited.wav   soft-limited (tanh) to -0.1 dBFS sample peak
  clip0025.wav  hard-clipped, 0.25% of the samples at full scale
  clip7.wav     hard-clipped, 7% of the samples at full scale

  tools/make_masters.py FOLDER [--seconds S] [--seed N]
"""
import argparse
import os
import wave

import numpy as np


def mix(seconds, seed, rate=44100):
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    t = np.arange(n) / rate
    kick = np.zeros(n)
    for start in range(0, n, int(0.35 * rate)):
        k = np.arange(min(4000, n - start))
        kick[start:start + len(k)] += (np.sin(2 * np.pi * (50 + 80 * np.exp(-k / 400)) * k / rate)
                                       * np.exp(-k / 3000))
    bass = 0.6 * np.sin(2 * np.pi * 55 * t) * (0.6 + 0.4 * np.sin(2 * np.pi * 0.5 * t))
    hats = rng.standard_normal(n) * 0.15 * (np.sin(2 * np.pi * 5.7 * t) > 0.7)
    pad = 0.3 * np.sin(2 * np.pi * 220 * t) + 0.2 * np.sin(2 * np.pi * 330 * t)
    return kick + bass + hats + pad


def write(path, x, rate=44100):
    frames = np.stack([x, 0.98 * x], 1)
    pcm = np.clip(np.round(frames * 8388607), -8388608, 8388607).astype('<i4')
    data = pcm.reshape(-1).view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    with wave.open(path, 'wb') as w:
        w.setnchannels(2)
        w.setsampwidth(3)
        w.setframerate(rate)
        w.writeframes(data)


def clipped(x, fraction):
    level = np.sort(np.abs(x))[int(len(x) * (1 - fraction))]
    return np.clip(x / level, -1.0, 1.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('folder')
    parser.add_argument('--seconds', type=float, default=20.0)
    parser.add_argument('--seed', type=int, default=7)
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    x = mix(args.seconds, args.seed)
    limited = np.tanh(2.0 * x / np.max(np.abs(x)))
    write(os.path.join(args.folder, 'limited.wav'), limited / np.max(np.abs(limited)) * 10 ** (-0.1 / 20))
    write(os.path.join(args.folder, 'clip0025.wav'), clipped(x, 0.0025))
    write(os.path.join(args.folder, 'clip7.wav'), clipped(x, 0.07))


if __name__ == '__main__':
    main()
