#!/usr/bin/python3
"""pulsemill-report: what a DSD file holds, measured after decoding.

    pulsemill-report OUT.dff|OUT.dsf [--start S] [--seconds N] [--png FILE]
                     [--compare IN.wav|IN.flac] [--decoder exact|ffmpeg]
    pulsemill-report --decoder-floor DSD_RATE [--seconds N] [--png FILE]

Decodes N seconds (default 10) from S seconds (default 0) of a DSDIFF or DSF
file and prints, per channel, one figure a line: the channel, the figure's
name, its value and unit, and the band and method it was measured with, so
that another tool can reproduce it. Levels are unweighted, in dB relative to
0 dB SA-CD: 50% modulation, where full-scale PCM lands (a one-bit stream of
+-1 decodes to +-1 at 100% modulation, 6.02 dB higher). Spectra are
Kaiser-windowed FFTs (beta 28, sidelobes about 230 dB down) of the whole
stretch.

The exact decoder (the default) reads the one-bit data itself (uncompressed
stereo DSDIFF, or DSF of 1 bit per sample) and decimates it in double
precision by 2^k to the decode rate F = DSD rate / 2^k <= 400 kHz (352.8 kHz
for DSD64 to DSD512 of 44.1 kHz, 384 kHz of 48 kHz): half-band stages that
keep 0-0.4 F flat and everything that would fold onto it 180 dB down, each
centred, so that decoded sample m is DSD sample m * 2^k (zero delay). Only
samples the file alone determines are decoded. --decoder ffmpeg decodes with
ffmpeg at one eighth of the DSD rate instead (single precision; an
independent reader).

Figures: peak and RMS after a 20 kHz low-pass, wideband RMS, in-band noise
(20 Hz to 20 kHz, without the tone and its harmonics 2 to 10 when there is
a dominant tone), the tone's frequency and level, the in-band SNR and THD+N
(everything in band but the tone, relative to it), out-of-band noise in
20-50 kHz and 50-100 kHz, and the DC offset.

--png FILE draws both channels' spectra (log frequency, 10 Hz to the
decoded Nyquist frequency) with the audio band and the 50 and 100 kHz
marks, and the figures in the legend.
--compare IN also decodes the source (WAVE or FLAC), brings the DSD file to
its rate (exact decoder, then a zero-delay double-precision resampler; or
ffmpeg), aligns them by cross-correlation and reports the level difference,
the in-band residual, the decoder's own delay (measured: an ideal 1 kHz
sine through the exact decoder and resampler, or ffmpeg's decoding against
the exact decoder's) and the file's delay less the decoder's.
--decoder-floor DSD_RATE measures the exact decoder itself: an ideal 1 kHz
sine at -6 dB SA-CD (where a -6 dBFS PCM tone lands), double precision and
not one-bit, decoded and measured like a file, and its delay.

Exit status 0; 1 with one line on standard error for a file that is not
DSDIFF or DSF or that the decoder cannot read. Needs Python 3 with numpy and
scipy (and matplotlib for --png), and ffmpeg for --compare and --decoder
ffmpeg.
"""
import argparse
import functools
import os
import struct
import subprocess
import sys
from fractions import Fraction

import numpy as np
import scipy.fft
import scipy.optimize
import scipy.signal

KAISER_BETA = 28.0  # sidelobes ~230 dB down: the decoder floor shows
DECODE_RATE_MAX = 400000.0
ALIAS_DB = 190.0  # design target of each half-band stage; >= 184 dB achieved
RESAMPLE_DB = 160.0
PASSBAND = 0.4  # of the decode rate: flat, and clear of aliases
COMPARE_MAX_LAG = 0.125  # seconds either way
DECODER_MAX_LAG = 0.00025  # seconds either way: ffmpeg's decoder is about 14 us late
DECODE_PIECE = 1 << 21  # DSD samples per channel decoded at a time
FLOOR_FREQ = 1000
FLOOR_AMPLITUDE = 0.5 * 10 ** (-6 / 20.0)  # -6 dB SA-CD: where a -6 dBFS PCM tone lands
AUDIO_BAND = (20.0, 20000.0)
OUT_BANDS = ((20000.0, 50000.0), (50000.0, 100000.0))
HARMONICS = range(2, 11)
# RMS figures are the mean square in dB re 1.0, so that a sine at 0 dB
# SA-CD peak reads -3.01 dB RMS; peaks and tone levels are peak levels.
MS_NOTE = " in dB re 1.0 (a 0 dB SA-CD sine reads -3.01)"


class ReportError(Exception):
    """A failure the tool reports in one line."""


BITS_MSB_FIRST = np.unpackbits(np.arange(256, dtype=np.uint8)[:, None], axis=1) * 2.0 - 1.0
BITS_LSB_FIRST = BITS_MSB_FIRST[:, ::-1].copy()


class DsdFile:
    """The one-bit data of a stereo DSDIFF or DSF file: `rate` (Hz),
    `container`, `samples` per channel, and `read`."""

    def __init__(self, path):
        self.path = path
        try:
            with open(path, "rb") as f:
                self.size = os.fstat(f.fileno()).st_size
                head = f.read(16)
                if head[0:4] == b"FRM8" and head[12:16] == b"DSD ":
                    self._dsdiff(f, 12 + struct.unpack(">Q", head[4:12])[0])
                elif head[0:4] == b"DSD ":
                    self._dsf(f, struct.unpack("<Q", head[4:12])[0])
                else:
                    raise ReportError("%s is not a DSDIFF or DSF file" % path)
        except OSError as e:
            raise ReportError("%s: %s" % (path, e.strerror))
        except struct.error:
            raise ReportError("%s is not a DSDIFF or DSF file" % path)
        if not self.rate:
            raise ReportError("%s is not a DSDIFF or DSF file" % path)

    def _chunks(self, f, pos, end, size_format, header_counts):
        """(id, body offset, body size) of the chunks in [pos, end)."""
        while pos + 12 <= min(end, self.size):
            f.seek(pos)
            head = f.read(12)
            size = struct.unpack(size_format, head[4:12])[0] - (12 if header_counts else 0)
            if size < 0:
                return
            yield head[0:4], pos + 12, min(size, self.size - pos - 12)
            pos += 12 + size + (0 if header_counts else size & 1)

    def _dsdiff(self, f, end):
        self.container, self.rate, self.channels, self.compression = "DSDIFF", 0, 0, b"DSD "
        self.bits, self.block, self.table, self.offset, self.samples = 1, None, BITS_MSB_FIRST, 0, 0
        for name, body, size in self._chunks(f, 16, end, ">Q", False):
            if name == b"PROP":
                f.seek(body)
                if f.read(4) != b"SND ":
                    continue
                for sub, at, length in self._chunks(f, body + 4, body + size, ">Q", False):
                    f.seek(at)
                    data = f.read(min(length, 8))
                    if sub == b"FS  ":
                        self.rate = struct.unpack(">I", data[:4])[0]
                    elif sub == b"CHNL":
                        self.channels = struct.unpack(">H", data[:2])[0]
                    elif sub == b"CMPR":
                        self.compression = data[:4]
            elif name in (b"DSD ", b"DST "):
                if name == b"DST ":
                    self.compression = b"DST "
                self.offset, self.samples = body, size // max(self.channels, 1) * 8

    def _dsf(self, f, header):
        self.container, self.compression, self.table = "DSF", b"DSD ", BITS_LSB_FIRST
        self.rate = self.channels = self.offset = self.samples = 0
        for name, body, size in self._chunks(f, header, self.size, "<Q", True):
            f.seek(body)
            if name == b"fmt " and size >= 40:
                (_, _, _, self.channels, self.rate, self.bits, self.samples,
                 self.block) = struct.unpack("<IIIIIIQI", f.read(36))
            elif name == b"data":
                self.offset, data = body, size
        if self.offset and self.rate:
            # What a truncated file still holds of the shorter channel, the right.
            groups, rest = divmod(data, 2 * max(self.block, 1))
            self.samples = min(self.samples, (groups * self.block + max(rest - self.block, 0)) * 8)

    def check(self):
        """Refuses what the exact decoder cannot read."""
        if not self.offset:
            raise ReportError("%s holds no sound data" % self.path)
        if self.channels != 2:
            raise ReportError("%s has %d channels; the exact decoder reads stereo files only"
                              % (self.path, self.channels))
        if self.bits != 1 or self.block == 0:
            raise ReportError("%s: DSF of %d bits per sample in blocks of %d bytes; the exact "
                              "decoder reads 1 bit per sample only"
                              % (self.path, self.bits, self.block))
        if self.compression != b"DSD ":
            raise ReportError("%s is compressed (%s); the exact decoder reads uncompressed DSD "
                              "only (try --decoder ffmpeg)"
                              % (self.path, self.compression.decode(errors="replace").strip()))

    def read(self, a, b):
        """DSD samples a to b - 1 of both channels as +-1.0, shape (2, b - a);
        0.0 before the file's start and after its end."""
        out = np.zeros((2, b - a))
        lo, hi = max(a, 0), min(b, self.samples)
        if hi <= lo:
            return out
        j0, j1 = lo // 8, -(-hi // 8)  # bytes per channel
        if self.block is None:  # DSDIFF: byte-interleaved L, R, L, R, ...
            raw = self._bytes(2 * j0, 2 * (j1 - j0)).reshape(-1, 2).T
        else:  # DSF: blocks of `block` bytes of L, then R, ...
            b0, b1 = j0 // self.block, -(-j1 // self.block)
            raw = self._bytes(2 * self.block * b0, 2 * self.block * (b1 - b0))
            raw = raw.reshape(-1, 2, self.block).transpose(1, 0, 2).reshape(2, -1)
            raw = raw[:, j0 - self.block * b0:j1 - self.block * b0]
        bits = self.table[raw].reshape(2, -1)
        out[:, lo - a:hi - a] = bits[:, lo - 8 * j0:hi - 8 * j0]
        return out

    def _bytes(self, at, count):
        with open(self.path, "rb") as f:
            f.seek(self.offset + at)
            data = f.read(count)
        return np.frombuffer(data + bytes(count - len(data)), dtype=np.uint8)


def decimation(dsd):
    """The factor M = 2^k (k >= 3) and decode rate dsd / M <= 400 kHz."""
    k = 3
    while dsd / 2 ** k > DECODE_RATE_MAX:
        k += 1
    return 2 ** k, dsd / 2 ** k


@functools.lru_cache(maxsize=None)
def halfband(width):
    """A half-band low-pass (odd length, centred, zero delay) whose
    transition band is `width` of its input rate wide around a quarter of
    it; stop band ALIAS_DB down. The taps at even offsets but the centre
    are zero."""
    numtaps, beta = scipy.signal.kaiserord(ALIAS_DB, 2.0 * width)
    c = numtaps // 2 | 1  # odd half length: the end taps are not zero
    h = scipy.signal.firwin(2 * c + 1, 0.5, window=("kaiser", beta))
    h[c + 2::2] = h[c - 2::-2] = 0.0
    return h


class Decimator:
    """Decimation by 2^k to the decode rate F: k half-band stages, each a
    decimate-by-2 whose output n is centred on its input 2n, so that output
    m is DSD sample m * 2^k (zero delay). Every stage passes 0-0.4 F and
    stops what it would fold onto 0-0.4 F."""

    def __init__(self, k):
        self.stages = [halfband(0.5 - PASSBAND / 2 ** j) for j in reversed(range(k))]

    def span(self, p, q):
        """The DSD samples [a, b) that outputs [p, q) depend on."""
        for h in reversed(self.stages):
            c = len(h) // 2
            p, q = 2 * p - c - 1, 2 * q + c - 1
        return p, q

    def __call__(self, x):
        """Outputs [p, q) from x = DSD samples span(p, q), shape (2, n)."""
        for h in self.stages:
            c = len(h) // 2
            n = x.shape[1] // 2 - c
            # Odd inputs through the nonzero taps, plus the centre tap.
            x = (scipy.signal.lfilter(h[0::2], 1.0, x[:, 1::2])[:, c:]
                 + h[c] * x[:, c + 1:c + 1 + 2 * n:2])
        return x

    def within(self, samples):
        """The outputs [p, q) that depend on DSD samples 0 to `samples` - 1 only."""
        a, b = self.span(0, 1)
        m = 2 ** len(self.stages)
        return -(a // m), (samples - b) // m + 1

    def response(self, dsd, freqs):
        """The cascade's (real, zero-phase) gain at `freqs` (Hz)."""
        gain = np.ones(len(freqs))
        rate = float(dsd)
        for h in self.stages:
            c = len(h) // 2
            k = np.arange(1, c + 1, 2)
            gain *= h[c] + 2.0 * np.cos(2 * np.pi * np.outer(freqs / rate, k)) @ h[c + k]
            rate /= 2.0
        return gain


def decode_exact(source, dsd, first, count):
    """Outputs `first` to `first + count - 1` at the decode rate of the DSD
    signal `source(a, b)` (rate `dsd`), shape (2, count), in pieces of
    DECODE_PIECE DSD samples so that memory stays bounded; each piece reads
    the samples around it that its outputs depend on, so the pieces give
    what one pass would."""
    m, _ = decimation(dsd)
    decimator = Decimator(m.bit_length() - 1)
    out = np.empty((2, count))
    step = max(DECODE_PIECE // m, 1)
    for p in range(first, first + count, step):
        q = min(p + step, first + count)
        out[:, p - first:q - first] = decimator(source(*decimator.span(p, q)))
    return out


def resampler(rate_in, rate_out):
    """(up, down, taps) of a zero-delay resampler between rates (Fractions):
    a Kaiser-windowed sinc of odd length passing 0-20 kHz (or 0.46 of the
    lower rate) and RESAMPLE_DB down where content would fold into it."""
    ratio = rate_out / rate_in
    up, down = ratio.numerator, ratio.denominator
    lowest = float(min(rate_in, rate_out))
    passband = min(AUDIO_BAND[1], 0.46 * lowest)
    fs = float(rate_in * up)
    numtaps, beta = scipy.signal.kaiserord(RESAMPLE_DB, (lowest - 2 * passband) / (fs / 2))
    taps = scipy.signal.firwin(numtaps // 2 * 2 + 1, lowest / 2, window=("kaiser", beta), fs=fs)
    return up, down, taps


def decode_exact_at(source, dsd, rate, first, count):
    """Samples `first` to `first + count - 1` at `rate` of the DSD signal
    `source`: decoded exactly, then resampled with zero delay, sample n
    belonging to the time n / rate of the DSD signal. Shape (2, count)."""
    m, _ = decimation(dsd)
    up, down, taps = resampler(Fraction(int(dsd), m), Fraction(int(rate)))
    pad = len(taps) // 2 // up + 1
    lo = ((first * down) // up - pad) // down * down  # on both grids
    hi = -(-(first + count) * down // up) + pad
    y = scipy.signal.resample_poly(decode_exact(source, dsd, lo, hi - lo), up, down, axis=1,
                                   window=taps)
    at = first - lo * up // down
    return y[:, at:at + count]


def ideal_tone(dsd, amplitude=FLOOR_AMPLITUDE, freq=FLOOR_FREQ):
    """The DSD signal `source(a, b)` of an ideal sine (double precision, not
    one-bit) at rate `dsd`, its phase exact at every sample; and the same
    sine at any integer rate, `sine(n, rate)`."""
    def sine(n, rate):
        phase = (np.asarray(n, dtype=np.int64) * freq) % rate  # whole cycles dropped exactly
        return amplitude * np.sin(2 * np.pi / rate * phase)

    def source(a, b):
        x = sine(np.arange(a, b), int(dsd))
        return np.vstack((x, x))
    return source, sine


def ffmpeg_decode(path, rate=None, start=0.0, seconds=None):
    """Stereo float64 samples of `path` decoded by ffmpeg, shape (2, n)."""
    command = ["ffmpeg", "-nostdin", "-v", "error", "-ss", repr(start)]
    if seconds is not None:
        command += ["-t", repr(seconds)]
    command += ["-i", path, "-ac", "2"]
    if rate is not None:
        command += ["-ar", str(int(rate))]
    command += ["-f", "f64le", "-"]
    try:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError:
        raise ReportError("ffmpeg is not installed (Debian package ffmpeg)")
    if run.returncode != 0:
        text = run.stderr.decode(errors="replace").strip().splitlines()
        raise ReportError("ffmpeg cannot decode %s: %s" % (path, text[-1] if text else "no output"))
    data = np.frombuffer(run.stdout, dtype="<f8")
    if data.size < 4:
        raise ReportError("ffmpeg decoded nothing from %s" % path)
    return data[: data.size // 2 * 2].reshape(-1, 2).T


def db(ratio):
    return 10.0 * np.log10(ratio) if ratio > 0 else -np.inf


class Spectrum:
    """Kaiser-windowed power spectrum of one channel in SA-CD units.

    The transform is n points long, the samples zero-padded to a length
    the FFT is fast at. Parseval: a sine of peak A puts n * sum(w^2) * A^2 / 4
    into the positive-frequency bins, other content of mean square P puts
    n * sum(w^2) * P / 2 there; `ms` turns bins into mean square."""

    def __init__(self, x, rate, beta=KAISER_BETA):
        self.n = scipy.fft.next_fast_len(len(x), real=True)
        self.rate = rate
        self.window = scipy.signal.windows.kaiser(len(x), beta, sym=False)
        self.power = np.abs(scipy.fft.rfft(x * self.window, self.n)) ** 2
        self.freqs = np.arange(len(self.power)) * rate / self.n
        self.norm = self.n * np.sum(self.window ** 2)
        # Main-lobe half width in bins, with a margin.
        self.lobe = int(np.ceil(np.sqrt(1.0 + (beta / np.pi) ** 2) * self.n / len(x))) + 4

    def band(self, low, high):
        return (self.freqs >= low) & (self.freqs <= high)

    def lobe_at(self, freq):
        mask = np.zeros(len(self.power), dtype=bool)
        centre = int(round(freq * self.n / self.rate))
        if 0 <= centre < len(mask):
            mask[max(centre - self.lobe, 0):centre + self.lobe + 1] = True
        return mask

    def ms(self, mask):
        return 2.0 * np.sum(self.power[mask]) / self.norm

    def tone_amplitude(self, freq):
        return 2.0 * np.sqrt(np.sum(self.power[self.lobe_at(freq)]) / self.norm)


def analyze_tone(x, rate, freq, band_low=AUDIO_BAND[0], band_high=AUDIO_BAND[1], beta=KAISER_BETA):
    """Level (dB re amplitude 1), SNR (dB, everything in band but the tone's
    lobe) and mean of the tone `freq` in `x`: the decoding tests' measure."""
    s = Spectrum(x, rate, beta)
    amplitude = s.tone_amplitude(freq)
    noise = s.ms(s.band(band_low, band_high) & ~s.lobe_at(freq))
    level = 20.0 * np.log10(amplitude) if amplitude > 0 else -np.inf
    return level, db((amplitude ** 2 / 2.0) / noise) if noise > 0 else np.inf, float(np.mean(x))


def dominant_tone(s):
    """Frequency of the strongest in-band peak when it stands 10 dB above
    the rest of the band, else None; refined by parabolic interpolation."""
    band = s.band(*AUDIO_BAND)
    if not band.any():
        return None
    k = int(np.argmax(np.where(band, s.power, 0.0)))
    rest = s.ms(band & ~s.lobe_at(s.freqs[k]))
    if s.ms(s.lobe_at(s.freqs[k])) < 10.0 * rest:
        return None
    if 0 < k < len(s.power) - 1:
        a, b, c = np.log(s.power[k - 1:k + 2] + 1e-300)
        k = k + 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c != 0 else k
    return k * s.rate / s.n


def channel_figures(x, rate):
    """Figures of one channel (x in SA-CD units: 1.0 = 0 dB SA-CD), each as
    (name, value, unit, band and method)."""
    nyquist = rate / 2.0
    sos = scipy.signal.butter(8, 20000.0, fs=rate, output="sos")
    low = scipy.signal.sosfiltfilt(sos, x)
    lp = "0-20000 Hz, 8th-order Butterworth low-pass, forward and back"
    figures = [
        ("peak_lowpassed", 20 * np.log10(np.max(np.abs(low)) + 1e-300), "dB", lp),
        ("rms_lowpassed", db(np.mean(low ** 2)), "dB", lp + "; RMS" + MS_NOTE),
        ("rms_wideband", db(np.mean(x ** 2)), "dB", "0-%.0f Hz; RMS%s" % (nyquist, MS_NOTE)),
    ]
    s = Spectrum(x, rate)
    band = s.band(*AUDIO_BAND)
    tone = dominant_tone(s)
    if tone is None:
        figures.append(("noise_inband", db(s.ms(band)), "dB", "20-20000 Hz, everything; RMS" + MS_NOTE))
    else:
        lobe = s.lobe_at(tone)
        harmonics = np.zeros(len(s.power), dtype=bool)
        for h in HARMONICS:
            harmonics |= s.lobe_at(h * tone)
        amplitude = s.tone_amplitude(tone)
        signal = amplitude ** 2 / 2.0
        noise = s.ms(band & ~lobe & ~harmonics)
        figures += [
            ("noise_inband", db(noise), "dB",
             "20-20000 Hz, without the tone and harmonics 2-10; RMS" + MS_NOTE),
            ("tone_freq", tone, "Hz", "strongest in-band peak, interpolated"),
            ("tone_level", 20 * np.log10(amplitude), "dB", "peak, from the tone's main lobe"),
            ("snr", db(signal / noise) if noise > 0 else np.inf, "dB",
             "20-20000 Hz, tone over noise without harmonics 2-10"),
            ("thd_n", db(s.ms(band & ~lobe) / signal), "dB",
             "20-20000 Hz, everything but the tone, relative to it"),
        ]
    for lo, hi in OUT_BANDS:
        if hi <= nyquist:
            figures.append(("noise_%dk_%dk" % (lo / 1000, hi / 1000), db(s.ms(s.band(lo, hi))), "dB",
                            "%.0f-%.0f Hz; RMS%s" % (lo, hi, MS_NOTE)))
    figures.append(("dc_offset", float(np.mean(x)), "SA-CD", "mean; 1.0 = 0 dB SA-CD"))
    return figures, s, tone


def delay_of(references, signals, max_lag):
    """The delay (in samples, fractional; > 0: the signals run late) that
    best lines up `signals` with `references`: the peak of the summed
    cross-correlations within +-max_lag, refined by a parabola."""
    n = min(len(references[0]), len(signals[0]))
    corr = sum(scipy.signal.correlate(y[:n], x[:n], mode="full", method="fft")
               for x, y in zip(references, signals))
    centre = n - 1  # index of lag 0
    window = corr[centre - max_lag:centre + max_lag + 1]
    k = int(np.argmax(window))
    frac = 0.0
    if 0 < k < len(window) - 1:
        a, b, c = window[k - 1:k + 2]
        if a - 2 * b + c != 0:
            frac = 0.5 * (a - c) / (a - 2 * b + c)
    return k - max_lag + frac


def shifted(x, delay):
    """x moved `delay` samples earlier (fractional, through the spectrum)."""
    f = np.fft.rfftfreq(len(x))
    return np.fft.irfft(np.fft.rfft(x) * np.exp(2j * np.pi * f * delay), len(x))


def aligned_delay(references, signals, max_lag, keep):
    """The delay (samples, fractional; > 0: the signals run late) that
    lines up `signals` with `references`: the correlation peak within
    +-max_lag, then the shift that leaves the least residual over `keep`."""
    coarse = delay_of(references, signals, max_lag)
    return scipy.optimize.minimize_scalar(
        lambda d: sum(np.mean((shifted(y, d)[keep] - x[keep]) ** 2)
                      for x, y in zip(references, signals)),
        bounds=(coarse - 1.0, coarse + 1.0), method="bounded", options={"xatol": 1e-6}).x


def tone_delay(decoded, ideal, rate):
    """Per channel, the delay (samples) of a decoded ideal sine against the
    sine itself (within half its period), over whole seconds of it."""
    n = min(len(ideal), decoded.shape[1])
    keep = slice(n // 10, n - n // 10)
    max_lag = int(rate / FLOOR_FREQ / 2) - 1
    return [aligned_delay([ideal[:n]], [y[:n]], max_lag, keep) for y in decoded]


def compare(source_path, dsd, start, seconds, decoder):
    """Level difference and in-band residual of the DSD file against its
    source (decoded by ffmpeg), the DSD file decoded at the source's rate by
    `decoder`, and the file's delay less the decoder's own. The delay is
    found on the signals themselves (mean removed); the band filter is
    applied after the shift, to the source and to the difference alike,
    and its edges are left out."""
    rate = source_rate(source_path)
    first = int(round(start * rate))
    source = ffmpeg_decode(source_path, None, 0.0, start + seconds)[:, first:]
    dsd.check()
    exact = decode_exact_at(dsd.read, dsd.rate, rate, first, source.shape[1]) * 2.0  # SA-CD units
    if decoder == "ffmpeg":
        decoded = ffmpeg_decode(dsd.path, rate, start, seconds) * 2.0
    else:
        decoded = exact
    n = min(source.shape[1], decoded.shape[1])
    edge = int(0.3 * rate)  # the band filter's ringing, and room for the shift
    if n < 4 * edge:
        raise ReportError("--compare needs a stretch of at least 1.2 s (%.3f s decoded)" % (n / rate))
    keep = slice(edge, n - edge)
    max_lag = int(COMPARE_MAX_LAG * rate)
    refs = [x[:n] - np.mean(x[:n]) for x in source]
    outs = [y[:n] - np.mean(y[:n]) for y in decoded]
    delay = aligned_delay(refs, outs, max_lag, keep)
    if decoder == "ffmpeg":
        # A decoder's own delay is short: a narrow search keeps tones unambiguous.
        own = aligned_delay([x[:n] - np.mean(x[:n]) for x in exact], outs,
                            max(int(DECODER_MAX_LAG * rate), 2), keep)
        how = "ffmpeg's decoding of this file against the exact decoder's, both at %d Hz" % rate
    else:
        tone, sine = ideal_tone(dsd.rate)
        count = min(n, rate)  # one second
        own = np.mean(tone_delay(decode_exact_at(tone, dsd.rate, rate, 0, count),
                                 sine(np.arange(count), rate), rate))
        how = ("an ideal %d Hz sine through the exact decoder and the resampler to %d Hz "
               "against the sine" % (FLOOR_FREQ, rate))
    sos = scipy.signal.butter(8, [AUDIO_BAND[0], AUDIO_BAND[1]], btype="bandpass", fs=rate,
                              output="sos")
    lines = []
    for ch, name in enumerate(("left", "right")):
        aligned = shifted(outs[ch], delay)
        ref = scipy.signal.sosfiltfilt(sos, refs[ch])[keep]
        out = scipy.signal.sosfiltfilt(sos, aligned)[keep]
        diff = scipy.signal.sosfiltfilt(sos, aligned - refs[ch])[keep]
        ref_ms = np.mean(ref ** 2)
        gain = np.dot(ref, out) / np.dot(ref, ref) if ref_ms > 0 else 1.0
        lines += [
            (name, "level_difference", db(np.mean(out ** 2) / ref_ms) if ref_ms > 0 else 0.0, "dB",
             "20-20000 Hz RMS, DSD file over source"),
            (name, "delay", (delay - own) / rate * 1000.0, "ms",
             "both channels at %d Hz: correlation peak, then least residual; less decoder_delay"
             % rate),
            (name, "decoder_delay", own / rate * 1e6, "us",
             how + ": correlation peak, then least residual"),
            (name, "residual", db(np.mean(diff ** 2) / ref_ms) if ref_ms > 0 else -np.inf, "dB",
             "20-20000 Hz, (DSD - source) after alignment, relative to the source"),
            (name, "gain_fit", 20 * np.log10(abs(gain)) if gain != 0 else -np.inf, "dB",
             "least-squares gain of the DSD file on the source, 20-20000 Hz"),
        ]
    return lines


def source_rate(path):
    run = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                          "stream=sample_rate", "-of", "csv=p=0", path],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        return int(run.stdout.decode().strip().splitlines()[0])
    except (ValueError, IndexError):
        raise ReportError("ffprobe cannot read the sample rate of %s" % path)


def draw(png, path, container, dsd, rate, results):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    nyquist = rate / 2.0
    fig, ax = plt.subplots(figsize=(10, 6.4), dpi=100)
    ax.axvspan(AUDIO_BAND[0], AUDIO_BAND[1], color="#d9f0d3", label="audio band 20 Hz-20 kHz")
    ax.axvspan(20000, min(50000, nyquist), color="#fff2cc", label="20-50 kHz")
    if nyquist > 50000:
        ax.axvspan(50000, min(100000, nyquist), color="#fde0dd", label="50-100 kHz")
    for mark in (50000, 100000):
        if mark < nyquist:
            ax.axvline(mark, color="#888888", linewidth=0.8, linestyle="--")
    colours = {"left": "#1f5fbf", "right": "#d0451b"}
    lowest = -200.0  # lowered to show a floor below it (down to -300 dB)
    for name, (figures, s, tone) in results.items():
        # One point per log-spaced cell: where the cell meets the tone's or a
        # harmonic's main lobe, the peak on the sine-peak scale, so that a
        # sine reads its peak level; elsewhere the mean power per bin (mean
        # square, Parseval), so that noise reads as a floor.
        peak_scale = 4.0 * s.power / (np.sum(s.window) ** 2)
        bin_ms = 2.0 * s.power / s.norm
        lobes = np.zeros(len(s.power), dtype=bool)
        if tone is not None:
            for h in [1] + list(HARMONICS):
                lobes |= s.lobe_at(h * tone)
        idx = np.searchsorted(s.freqs, np.geomspace(10.0, nyquist, 1200))
        fx, fy = [], []
        for a, b in zip(idx[:-1], idx[1:]):
            if b <= a:
                continue
            level = np.max(peak_scale[a:b]) if lobes[a:b].any() else np.mean(bin_ms[a:b])
            fx.append(s.freqs[(a + b - 1) // 2])
            fy.append(10 * np.log10(level + 1e-30))
        f = {k: v for k, v, _, _ in figures}
        label = name
        if tone is not None:
            label += ": tone %.0f Hz %.1f dB, SNR %.1f dB, THD+N %.1f dB" % (
                f["tone_freq"], f["tone_level"], f["snr"], f["thd_n"])
        else:
            label += ": in-band noise %.1f dB" % f["noise_inband"]
        if "noise_50k_100k" in f:
            label += ", 50-100 kHz %.1f dB" % f["noise_50k_100k"]
        ax.semilogx(fx, fy, color=colours[name], linewidth=1.0, label=label)
        lowest = min(lowest, max(-300.0, 20.0 * np.floor(np.percentile(fy, 5) / 20.0) - 20.0))
    ax.set_xlim(10, nyquist)
    ax.set_ylim(lowest, 10)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("dB SA-CD: tones at their peak, noise per %.2g Hz bin" % (rate / s.n))
    ax.set_title("%s: %s, %.4g MHz, decoded at %.1f kHz" % (os.path.basename(path), container,
                                                              dsd / 1e6, rate / 1000))
    ax.grid(True, which="both", color="#dddddd", linewidth=0.5)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, fontsize=8, frameon=False)
    fig.tight_layout()
    fig.savefig(png)
    plt.close(fig)


def print_figure(name, figure, value, unit, band):
    print("%-5s %-16s %12.4f %-5s %s" % (name, figure, value, unit, band))


def report(data, rate):
    """Prints the figures of both channels of `data` (SA-CD units)."""
    results = {}
    for ch, name in enumerate(("left", "right")):
        results[name] = channel_figures(data[ch], rate)
        for figure in results[name][0]:
            print_figure(name, *figure)
    return results


def decoder_floor(dsd, seconds, png):
    """The exact decoder's own floor: the figures of an ideal sine decoded
    at DSD rate `dsd`, and its delay."""
    m, rate = decimation(dsd)
    count = int(round(seconds * rate))
    if count < 2 * rate / FLOOR_FREQ:
        raise ReportError("--decoder-floor needs at least 2 ms")
    tone, sine = ideal_tone(dsd)
    data = decode_exact(tone, dsd, 0, count) * 2.0
    decimator = Decimator(m.bit_length() - 1)
    freqs = np.arange(0.0, dsd / 2, 100.0)
    gain = np.abs(decimator.response(dsd, freqs))
    folded = np.mod(freqs, rate)
    alias = (freqs >= (1 - PASSBAND) * rate) & ((folded <= PASSBAND * rate)
                                                | (folded >= (1 - PASSBAND) * rate))
    passband = gain[freqs <= PASSBAND * rate]
    print("decoder floor: an ideal %d Hz sine at -6 dB SA-CD (amplitude %.4f of the +-1 bit "
          "stream, where a -6 dBFS PCM tone lands), double precision, not one-bit, %.3f s at %d "
          "Hz; decoded at %.0f Hz by the exact decoder (double precision, zero delay): %d "
          "half-band stages of %s taps, aliases into 0-%.0f Hz %.1f dB down, passband ripple "
          "%.1e dB; levels in dB SA-CD, unweighted; spectra Kaiser beta %g over the whole stretch"
          % (FLOOR_FREQ, FLOOR_AMPLITUDE, count / rate, dsd, rate, len(decimator.stages),
             "+".join(str(len(h)) for h in decimator.stages), PASSBAND * rate,
             -db(np.max(gain[alias]) ** 2), db(np.max(passband) ** 2 / np.min(passband) ** 2),
             KAISER_BETA))
    results = report(data, rate)
    delays = tone_delay(data, sine(np.arange(min(count, int(rate))) * m, dsd) * 2.0, rate)
    for name, delay in zip(("left", "right"), delays):
        print_figure(name, "decoder_delay", delay / rate * 1e6, "us",
                     "the decoded sine against the ideal one at %.0f Hz: correlation peak, then "
                     "least residual" % rate)
    if png:
        draw(png, "ideal %d Hz sine" % FLOOR_FREQ, "exact decoder", dsd, rate, results)


def main(argv):
    parser = argparse.ArgumentParser(prog="pulsemill-report",
                                     description="Measure a DSDIFF or DSF file after decoding.")
    parser.add_argument("dsd", nargs="?", help="the .dff or .dsf file")
    parser.add_argument("--start", type=float, default=0.0, help="seconds into the file")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the stretch")
    parser.add_argument("--png", help="write the spectra to this PNG file")
    parser.add_argument("--compare", metavar="SOURCE", help="the WAVE or FLAC file it was made from")
    parser.add_argument("--decoder", choices=("exact", "ffmpeg"), default="exact",
                        help="the decoder (default: exact, double precision, zero delay)")
    parser.add_argument("--decoder-floor", type=int, metavar="RATE",
                        help="measure the exact decoder itself on an ideal sine at this DSD rate")
    args = parser.parse_args(argv)
    if (args.dsd is None) == (args.decoder_floor is None):
        parser.error("give a DSD file or --decoder-floor RATE")
    try:
        if args.decoder_floor is not None:
            decoder_floor(args.decoder_floor, args.seconds, args.png)
            return 0
        dsd = DsdFile(args.dsd)
        if args.decoder == "exact":
            dsd.check()
            m, rate = decimation(dsd.rate)
            # The outputs that the file alone determines, within the stretch.
            lo, hi = Decimator(m.bit_length() - 1).within(dsd.samples)
            first = max(int(round(args.start * rate)), lo)
            count = min(int(round((args.start + args.seconds) * rate)), hi) - first
            if count < 64:
                raise ReportError("%s holds nothing to decode from %.3f s" % (args.dsd, args.start))
            data = decode_exact(dsd.read, dsd.rate, first, count) * 2.0  # to SA-CD units
            start, how = first / rate, "the exact decoder (double precision, zero delay)"
        else:
            rate = dsd.rate / 8
            data = ffmpeg_decode(args.dsd, rate, args.start, args.seconds) * 2.0  # to SA-CD units
            start, how = args.start, "ffmpeg"
        print("file %s %s %d Hz; decoded %.3f-%.3f s at %.0f Hz by %s; levels in dB SA-CD, "
              "unweighted; spectra Kaiser beta %g over the whole stretch"
              % (args.dsd, dsd.container, dsd.rate, start, start + data.shape[1] / rate, rate, how,
                 KAISER_BETA))
        results = report(data, rate)
        if args.compare:
            for line in compare(args.compare, dsd, args.start, args.seconds, args.decoder):
                print_figure(*line)
        if args.png:
            draw(args.png, args.dsd, dsd.container, dsd.rate, rate, results)
    except ReportError as e:
        print("pulsemill-report: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
