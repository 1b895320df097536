#!/usr/bin/python3
"""Designs the rate shapers: seventh-order noise-transfer functions, one per
output rate, and writes their modulator coefficients as a C++ table.

    tools/design_rate_shaper.py [--table FILE] [--print]

Method (after R. Schreier, "synthesizeNTF" with optimized zeros):

1. Zeros. A zero at z = 1 and three conjugate pairs on the unit circle at
   the angles 2 pi (band / rate) r_k, where r_k are the positive roots of the
   Legendre polynomial P7 (0.4058, 0.7415, 0.9491). These minimize the
   integral of |N(e^jw)|^2 over the band when the poles are far away; step 3
   refines them with the poles in place.
2. Poles. A maximally flat high-pass family: for a parameter x > 0,
   m = 1 - (x^(2/7) / 2) e^(j w_k), w_k = (2k - 1) pi / 7, p_k = m - sqrt(m^2 - 1),
   reflected into the unit circle. x is found (secant steps) so that the
   out-of-band gain |NTF(-1)| (the peak of a low-pass NTF) equals the row's
   target, 1.35 to 1.45: lower is more stable, higher pushes more noise out
   of band. Each row's gain is the highest that keeps a 1 kHz tone at every
   level up to -1 dBFS from overloading the modulator (tools/shaper_floor
   sweep).
3. Refinement. The three zero angles are moved (Nelder-Mead, poles recomputed
   for each try) to minimize the in-band noise power, the mean of
   |NTF(e^jw)|^2 over [0, band].

The modulator realizes NTF(z) = N(z) / D(z), N = 1 + n1 z^-1 + ... + n7 z^-7,
D = 1 + d1 z^-1 + ... + d7 z^-7, with forward[k] = d(k+1) - n(k+1) and
feedback[k] = -d(k+1). The coefficients are computed in 60-digit arithmetic
(mpmath) and rounded once to doubles; the realized NTF is the one of those
doubles, and the figures printed with --print are computed from them.

The band of each rate: 20 kHz would give the most in-band SNR, but the noise
would then rise by about 42 dB per octave from 20 kHz on. At DSD256 and
DSD512 the band keeps the noise in 20-50 kHz under that of the fixed
pattern at DSD256 with far more in-band SNR than needed. At DSD64 the band
is the audio band. At DSD128, 30 kHz trades the two: about 149 dB in-band
SNR against 20-50 kHz noise 16 dB above the fixed pattern's at DSD128 (by
the linear model printed with --print, a 40 kHz band would lower that
noise by about 8 dB and the SNR by about 16 dB, below 140 dB).

Output rates between rows take the row of the next lower rate (its zeros then
spread a little wider in Hz); rates below the first row take the first row.
"""
import argparse
import sys

import mpmath
import numpy as np
import scipy.optimize

mpmath.mp.dps = 60

ORDER = 7
LEGENDRE_ROOTS = sorted(r for r in np.polynomial.legendre.Legendre.basis(ORDER).roots() if r > 1e-9)

# (output rate in Hz, design band in Hz, out-of-band gain). The gain is
# lowered at DSD256 and DSD512, where 1.45 overloads on a -1 dBFS tone.
ROWS = [
    (2822400, 20000, 1.45),
    (3072000, 20000, 1.45),
    (5644800, 24000, 1.40),
    (6144000, 24000, 1.40),
    (11289600, 40000, 1.35),
    (12288000, 40000, 1.35),
    (22579200, 60000, 1.35),
    (24576000, 60000, 1.35),
]


def poles_for(zero_angles, obg):
    """Poles of the maximally flat family whose |NTF(-1)| is `obg`."""
    zeros = zeros_of(zero_angles)

    def poles(x):
        me2 = -0.5 * x ** (2.0 / ORDER)
        w = (2.0 * np.arange(1, ORDER + 1) - 1.0) * np.pi / ORDER
        mb2 = 1.0 + me2 * np.exp(1j * w)
        p = mb2 - np.sqrt(mb2 * mb2 - 1.0)
        out = np.abs(p) > 1.0
        p[out] = 1.0 / p[out]
        return p

    def gap(x):
        p = poles(x)
        return abs(np.prod(-1.0 - zeros) / np.prod(-1.0 - p)) - obg

    x = 0.3 ** (ORDER - 1)
    f_prev, dx = gap(x), None
    for _ in range(200):
        f = gap(x)
        dx = -f / 100.0 if dx is None else -f * dx / (f - f_prev)
        f_prev = f
        x = x + dx if x + dx > 0 else x * 0.1
        if abs(f) < 1e-13 or abs(dx) < 1e-15:
            break
    return poles(x)


def zeros_of(angles):
    z = [1.0 + 0j]
    for a in angles:
        z += [np.exp(1j * a), np.exp(-1j * a)]
    return np.array(z)


def inband_power(num, den, band_w, points=4000):
    """Mean |N/D|^2 over [0, band_w] (radians per sample)."""
    w = np.linspace(0.0, band_w, points)
    zi = np.exp(-1j * w)
    h = np.polyval(num[::-1], zi) / np.polyval(den[::-1], zi)
    return np.mean(np.abs(h) ** 2)


def design(rate, band, obg):
    band_w = 2.0 * np.pi * band / rate
    start = np.log(np.array(LEGENDRE_ROOTS))

    def cost(log_r):
        angles = band_w * np.exp(log_r)
        p = poles_for(angles, obg)
        num = np.real(np.poly(zeros_of(angles)))
        den = np.real(np.poly(p))
        return np.log(inband_power(num, den, band_w))

    best = scipy.optimize.minimize(cost, start, method="Nelder-Mead",
                                   options={"xatol": 1e-8, "fatol": 1e-10, "maxiter": 4000})
    angles = band_w * np.exp(best.x)
    return angles, poles_for(angles, obg)


def exact_coefficients(angles, poles):
    """forward and feedback as doubles, from 60-digit polynomials."""
    num = [mpmath.mpf(1)]
    factors = [[mpmath.mpf(1), mpmath.mpf(-1)]]
    for a in angles:
        # 1 - 2 cos(a) z^-1 + z^-2, with 2 cos(a) = 2 - 4 sin^2(a/2)
        s = 2 - 4 * mpmath.sin(mpmath.mpf(a) / 2) ** 2
        factors.append([mpmath.mpf(1), -s, mpmath.mpf(1)])
    den = [mpmath.mpc(1)]
    for p in poles:
        den = poly_mul(den, [mpmath.mpc(1), -mpmath.mpc(p.real, p.imag)])
    for f in factors:
        num = poly_mul(num, f)
    n = [mpmath.re(c) for c in num[1:]]
    d = [mpmath.re(c) for c in den[1:]]
    forward = [float(d[k] - n[k]) for k in range(ORDER)]
    feedback = [float(-d[k]) for k in range(ORDER)]
    return forward, feedback


def poly_mul(a, b):
    out = [0] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return out


def realized(forward, feedback):
    """N and D (lists of mpf, leading 1) of the doubles the modulator holds."""
    d = [mpmath.mpf(1)] + [-mpmath.mpf(b) for b in feedback]
    n = [mpmath.mpf(1)] + [-mpmath.mpf(b) - mpmath.mpf(f) for f, b in zip(forward, feedback)]
    return n, d


def band_power(n, d, rate, lo, hi, points=2000):
    """Mean |NTF|^2 over [lo, hi] Hz times the band's share of 0..rate/2."""
    total = mpmath.mpf(0)
    for f in np.linspace(lo, hi, points):
        z = mpmath.exp(-1j * 2 * mpmath.pi * mpmath.mpf(f) / rate)
        num = sum(c * z ** k for k, c in enumerate(n))
        den = sum(c * z ** k for k, c in enumerate(d))
        total += abs(num / den) ** 2
    return float(total / points) * (hi - lo) / (rate / 2.0)


def fixed_pattern(rate):
    """The fixed-pattern shaper (pattern 2: zeros 0.95, 0.74, 0.42 of pi/64,
    seven poles at 0.85) as realized doubles, for comparison."""
    step = 2 * mpmath.pi / 64 * mpmath.mpf("0.5")
    s = [2 * mpmath.cos(step * mpmath.mpf(v)) for v in ("0.95", "0.74", "0.42")]
    num = [mpmath.mpf(1), mpmath.mpf(-1)]
    for sk in s:
        num = poly_mul(num, [mpmath.mpf(1), -sk, mpmath.mpf(1)])
    den = [mpmath.mpf(1)]
    for _ in range(ORDER):
        den = poly_mul(den, [mpmath.mpf(1), mpmath.mpf("-0.85")])
    return num, den


def hexfloat(x):
    return float(x).hex()


def write_table(path, rows):
    lines = [
        "// Generated by tools/design_rate_shaper.py; do not edit. One row per",
        "// output rate: the rate, the design band and the modulator's",
        "// coefficients (forward, feedback), exact as hex floats.",
    ]
    for rate, band, forward, feedback in rows:
        lines.append("{%d, %d," % (rate, band))
        lines.append(" {%s}," % ", ".join(hexfloat(v) for v in forward))
        lines.append(" {%s}}," % ", ".join(hexfloat(v) for v in feedback))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--table", help="write the C++ table here")
    parser.add_argument("--print", action="store_true", help="print each row's figures")
    args = parser.parse_args(argv)
    rows = []
    for rate, band, obg in ROWS:
        angles, poles = design(rate, band, obg)
        forward, feedback = exact_coefficients(angles, poles)
        rows.append((rate, band, forward, feedback))
        if args.print:
            n, d = realized(forward, feedback)
            inband = band_power(n, d, rate, 20.0, 20000.0)
            mid = band_power(n, d, rate, 20000.0, 50000.0)
            pn, pd = fixed_pattern(rate)
            print("%8d Hz band %6d Hz: zeros %s x band, poles |p| %s; relative noise 20-20k "
                  "%.1f dB, 20-50k %.1f dB (fixed pattern here: %.1f, %.1f dB)"
                  % (rate, band, np.round(angles / (2 * np.pi * band / rate), 4),
                     np.round(np.sort(np.abs(poles)), 3), 10 * np.log10(inband),
                     10 * np.log10(mid), 10 * np.log10(band_power(pn, pd, rate, 20.0, 20000.0)),
                     10 * np.log10(band_power(pn, pd, rate, 20000.0, 50000.0))))
    if args.table:
        write_table(args.table, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
