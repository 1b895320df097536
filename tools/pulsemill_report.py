#!/usr/bin/python3
"""pulsemill-report: what a DSD file holds, measured after decoding.

    pulsemill-report OUT.dff|OUT.dsf [--start S] [--seconds N] [--png FILE]
                     [--compare IN.wav|IN.flac]

Decodes N seconds (default 10) from S seconds (default 0) of a DSDIFF or DSF
file with ffmpeg at one eighth of the DSD rate and prints, per channel, one
figure a line: the channel, the figure's name, its value and unit, and the
band and method it was measured with, so that another tool can reproduce
it. Levels are unweighted, in dB relative to 0 dB SA-CD: 50% modulation,
where full-scale PCM lands (ffmpeg's decoded full scale is 100% modulation,
6.02 dB higher). Spectra are Kaiser-windowed FFTs (beta 20) of the whole
stretch.

Figures: peak and RMS after a 20 kHz low-pass, wideband RMS, in-band noise
(20 Hz to 20 kHz, without the tone and its harmonics 2 to 10 when there is
a dominant tone), the tone's frequency and level, the in-band SNR and THD+N
(everything in band but the tone, relative to it), out-of-band noise in
20-50 kHz and 50-100 kHz, and the DC offset.

--png FILE draws both channels' spectra (log frequency, 10 Hz to the
decoded Nyquist frequency) with the audio band and the 50 and 100 kHz
marks, and the figures in the legend.
--compare IN also decodes the source (WAVE or FLAC), aligns it to the DSD
file (the filters' delay, found by cross-correlation) and reports the level
difference and the in-band residual.

Exit status 0; 1 with one line on standard error for a file that is not
DSDIFF or DSF or that ffmpeg cannot decode. Needs ffmpeg and Python 3 with
numpy and scipy (and matplotlib for --png).
"""
import argparse
import os
import struct
import subprocess
import sys

import numpy as np
import scipy.optimize
import scipy.signal

KAISER_BETA = 20.0
SACD_DB = 20.0 * np.log10(2.0)  # 0 dB SA-CD is half of ffmpeg's full scale
AUDIO_BAND = (20.0, 20000.0)
OUT_BANDS = ((20000.0, 50000.0), (50000.0, 100000.0))
HARMONICS = range(2, 11)
# RMS figures are the mean square in dB re 1.0, so that a sine at 0 dB
# SA-CD peak reads -3.01 dB RMS; peaks and tone levels are peak levels.
MS_NOTE = " in dB re 1.0 (a 0 dB SA-CD sine reads -3.01)"


class ReportError(Exception):
    """A failure the tool reports in one line."""


def dsd_rate(path):
    """The DSD sampling rate (Hz) and container name of a DSDIFF or DSF file."""
    try:
        with open(path, "rb") as f:
            head = f.read(92)
    except OSError as e:
        raise ReportError("%s: %s" % (path, e.strerror))
    if len(head) >= 64 and head[0:4] == b"FRM8" and head[12:16] == b"DSD ":
        # The FS chunk of the fixed header this converter writes; other
        # writers may order the chunks differently, so search for it.
        at = head.find(b"FS  ")
        if at >= 0 and at + 16 <= len(head):
            return struct.unpack(">I", head[at + 12:at + 16])[0], "DSDIFF"
    if len(head) >= 60 and head[0:4] == b"DSD " and head[28:32] == b"fmt ":
        return struct.unpack("<I", head[56:60])[0], "DSF"
    raise ReportError("%s is not a DSDIFF or DSF file" % path)


def decode(path, rate=None, start=0.0, seconds=None):
    """Stereo float64 samples of `path` decoded by ffmpeg, shape (n, 2)."""
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
    return data[: data.size // 2 * 2].reshape(-1, 2)


def db(ratio):
    return 10.0 * np.log10(ratio) if ratio > 0 else -np.inf


class Spectrum:
    """Kaiser-windowed power spectrum of one channel in SA-CD units.

    Parseval: a sine of peak A puts n * sum(w^2) * A^2 / 4 into the
    positive-frequency bins, other content of mean square P puts
    n * sum(w^2) * P / 2 there; `ms` turns bins into mean square."""

    def __init__(self, x, rate, beta=KAISER_BETA):
        self.n = len(x)
        self.rate = rate
        self.window = scipy.signal.windows.kaiser(self.n, beta, sym=False)
        self.power = np.abs(np.fft.rfft(x * self.window)) ** 2
        self.freqs = np.arange(len(self.power)) * rate / self.n
        self.norm = self.n * np.sum(self.window ** 2)
        # Main-lobe half width in bins, with a margin.
        self.lobe = int(np.ceil(np.sqrt(1.0 + (beta / np.pi) ** 2))) + 4

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


def compare(source_path, dsd_path, start, seconds):
    """Level difference and in-band residual of the DSD file against its
    source, both decoded by ffmpeg at the source's rate. The delay is found
    on the signals themselves (mean removed); the band filter is applied
    after the shift, to the source and to the difference alike, and its
    edges are left out."""
    rate = source_rate(source_path)
    source = decode(source_path, None, start, seconds)
    dsd = decode(dsd_path, rate, start, seconds) * 2.0  # to SA-CD units
    n = min(len(source), len(dsd))
    edge = int(0.3 * rate)  # the band filter's ringing, and room for the shift
    if n < 4 * edge:
        raise ReportError("--compare needs a stretch of at least 1.2 s (%.3f s decoded)" % (n / rate))
    refs = [source[:n, ch] - np.mean(source[:n, ch]) for ch in range(2)]
    outs = [dsd[:n, ch] - np.mean(dsd[:n, ch]) for ch in range(2)]
    max_lag = int(0.05 * rate)
    coarse = delay_of(refs, outs, max_lag)
    keep = slice(edge, n - edge)
    delay = scipy.optimize.minimize_scalar(
        lambda d: sum(np.mean((shifted(o, d)[keep] - r[keep]) ** 2) for r, o in zip(refs, outs)),
        bounds=(coarse - 1.0, coarse + 1.0), method="bounded", options={"xatol": 1e-6}).x
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
            (name, "delay", delay / rate * 1000.0, "ms",
             "both channels at %d Hz: correlation peak, then least residual" % rate),
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
    ax.set_xlim(10, nyquist)
    ax.set_ylim(-200, 10)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("dB SA-CD: tones at their peak, noise per %.2g Hz bin" % (rate / s.n))
    ax.set_title("%s: %s, %.4g MHz, decoded at %.1f kHz" % (os.path.basename(path), container,
                                                              dsd / 1e6, rate / 1000))
    ax.grid(True, which="both", color="#dddddd", linewidth=0.5)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, fontsize=8, frameon=False)
    fig.tight_layout()
    fig.savefig(png)
    plt.close(fig)


def main(argv):
    parser = argparse.ArgumentParser(prog="pulsemill-report",
                                     description="Measure a DSDIFF or DSF file after decoding.")
    parser.add_argument("dsd", help="the .dff or .dsf file")
    parser.add_argument("--start", type=float, default=0.0, help="seconds into the file")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the stretch")
    parser.add_argument("--png", help="write the spectra to this PNG file")
    parser.add_argument("--compare", metavar="SOURCE", help="the WAVE or FLAC file it was made from")
    args = parser.parse_args(argv)
    try:
        dsd, container = dsd_rate(args.dsd)
        rate = dsd / 8
        data = decode(args.dsd, rate, args.start, args.seconds) * 2.0  # to SA-CD units
        print("file %s %s %d Hz; decoded %.3f-%.3f s at %d Hz by ffmpeg; levels in dB SA-CD, "
              "unweighted; spectra Kaiser beta %g over the whole stretch"
              % (args.dsd, container, dsd, args.start, args.start + len(data) / rate, rate,
                 KAISER_BETA))
        results = {}
        for ch, name in enumerate(("left", "right")):
            results[name] = channel_figures(data[:, ch], rate)
            for figure, value, unit, band in results[name][0]:
                print("%-5s %-16s %12.4f %-5s %s" % (name, figure, value, unit, band))
        if args.compare:
            for name, figure, value, unit, band in compare(args.compare, args.dsd, args.start,
                                                           args.seconds):
                print("%-5s %-16s %12.4f %-5s %s" % (name, figure, value, unit, band))
        if args.png:
            draw(args.png, args.dsd, container, dsd, rate, results)
    except ReportError as e:
        print("pulsemill-report: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
