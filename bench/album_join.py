#!/usr/bin/env python3
"""How an album's tracks, and the same files converted one by one, join up
against the whole piece converted as one aligned file (bench/album.sh).

Bits: the DSDIFF sound data ("DSD " chunk bodies) of the tracks, in file-name
order, joined end to end and compared byte for byte with the whole's: the
first differing byte, and the bytes differing within the window around each
join and beyond every window.

Decoded: each joined stream is written as one DSDIFF file (the whole's
chunks, its sound data replaced) and decoded by ffmpeg beside the whole, so
that no decoder starts cold at a join; the largest |difference| within the
window around each join and beyond every window, in dBFS (full scale 1.0),
as decoded and below 20 kHz.

  bench/album_join.py WHOLE.dff WORK_DIR NAME=TRACK_DIR... [--window-ms 50]
"""
import argparse
import glob
import os
import struct
import subprocess

import numpy as np
import scipy.signal


def chunks(data, start, end):
    """(id, body start, body size) of the chunks in data[start:end]."""
    pos = start
    while pos + 12 <= end:
        cid = data[pos:pos + 4]
        size = struct.unpack('>Q', data[pos + 4:pos + 12])[0]
        yield cid, pos + 12, size
        pos += 12 + size + (size & 1)


class Dsdiff:
    def __init__(self, path):
        self.data = open(path, 'rb').read()
        if self.data[:4] != b'FRM8' or self.data[12:16] != b'DSD ':
            raise SystemExit('%s: not a DSDIFF file' % path)
        self.rate = self.channels = None
        self.body = None
        for cid, start, size in chunks(self.data, 16, len(self.data)):
            if cid == b'PROP':
                for sub, s, n in chunks(self.data, start + 4, start + size):
                    if sub == b'FS  ':
                        self.rate = struct.unpack('>I', self.data[s:s + 4])[0]
                    elif sub == b'CHNL':
                        self.channels = struct.unpack('>H', self.data[s:s + 2])[0]
            elif cid == b'DSD ':
                self.body = (start, size)
        if self.body is None or self.rate is None or self.channels is None:
            raise SystemExit('%s: no sound data, rate or channels' % path)

    def sound(self):
        start, size = self.body
        return self.data[start:start + size]

    def with_sound(self, sound):
        """The file's bytes with its sound data replaced and sizes fixed."""
        start, size = self.body
        pad = b'\0' if len(sound) & 1 else b''
        rest = self.data[start + size + (size & 1):]
        out = bytearray(self.data[:start - 8] + struct.pack('>Q', len(sound)) + sound + pad + rest)
        out[4:12] = struct.pack('>Q', len(out) - 12)
        return bytes(out)


def dbfs(x):
    return 20 * np.log10(x) if x > 0 else -np.inf


def compare_bits(name, whole, tracks, joins, window):
    joined = b''.join(tracks)
    a = np.frombuffer(whole, np.uint8)
    b = np.frombuffer(joined, np.uint8)
    if len(a) != len(b):
        print('%s join: %d bytes of sound data against the whole\'s %d' % (name, len(b), len(a)))
        n = min(len(a), len(b))
        a, b = a[:n], b[:n]
    differ = a != b
    if not differ.any():
        print('%s join: identical (%d bytes of sound data, %d tracks)' % (name, len(b), len(tracks)))
        return joined
    print('%s join: first difference at byte %d of the sound data' % (name, np.argmax(differ)))
    near = np.zeros(len(b), bool)
    for j, at in enumerate(joins, 1):
        lo, hi = max(at - window, 0), min(at + window, len(b))
        near[lo:hi] = True
        where = np.flatnonzero(differ[lo:hi]) + lo - at
        span = '%+d..%+d' % (where[0], where[-1]) if len(where) else '-'
        print('  join %d at byte %d: %d of %d bytes differ within the window (from the join: %s)'
              % (j, at, len(where), hi - lo, span))
    print('  beyond the windows: %d of %d bytes differ' % (np.count_nonzero(differ & ~near),
                                                           np.count_nonzero(~near)))
    return joined


def decode(path):
    """ffmpeg decoding path to interleaved stereo f64 frames."""
    return subprocess.Popen(['ffmpeg', '-v', 'error', '-i', path, '-f', 'f64le', '-ac', '2', '-'],
                            stdout=subprocess.PIPE)


def compare_decoded(whole_path, dsd_rate, names, paths, dsd_joins, window_ms):
    rate = int(subprocess.run(['ffprobe', '-v', 'error', '-select_streams', 'a:0', '-show_entries',
                               'stream=sample_rate', '-of', 'csv=p=0', whole_path],
                              capture_output=True, text=True, check=True).stdout.strip())
    joins = [at * rate // dsd_rate for at in dsd_joins]
    half = int(round(window_ms * 1e-3 * rate))
    edges = [(at - half, at + half) for at in joins]
    sos = scipy.signal.butter(8, 20000, fs=rate, output='sos')
    procs = [decode(p) for p in [whole_path] + paths]
    # Per stream: [largest |diff| near join j for each j] + [far], as decoded and below 20 kHz.
    peaks = np.zeros((len(paths), 2, len(joins) + 1))
    states = [np.zeros((sos.shape[0], 2, 2)) for _ in paths]
    step, done = 1 << 16, 0
    while True:
        blocks = [np.frombuffer(p.stdout.read(step * 16), '<f8').reshape(-1, 2) for p in procs]
        n = min(len(x) for x in blocks)
        if n == 0:
            break
        index = np.arange(done, done + n)
        near = [(index >= lo) & (index < hi) for lo, hi in edges]
        far = ~np.any(near, axis=0)
        for k, block in enumerate(blocks[1:]):
            diff = np.abs(block[:n] - blocks[0][:n])
            low, states[k] = scipy.signal.sosfilt(sos, block[:n] - blocks[0][:n], axis=0,
                                                  zi=states[k])
            for band, d in enumerate((diff.max(axis=1), np.abs(low).max(axis=1))):
                for j, mask in enumerate(near + [far]):
                    if mask.any():
                        peaks[k, band, j] = max(peaks[k, band, j], d[mask].max())
        done += n
        if any(len(x) != n for x in blocks):
            print('decoded streams of unequal lengths, compared over %d frames' % done)
            break
    for p in procs:
        p.stdout.close()
        p.wait()
    print('decoded by ffmpeg at %d Hz, %d frames; largest |difference| from the whole, dBFS,'
          % (rate, done))
    print('within +-%g ms of each join and beyond (as decoded / below 20 kHz):' % window_ms)
    print('%-6s %9s' % ('join', 'at s') + ''.join(' %21s' % n for n in names))
    for j in range(len(joins) + 1):
        label = ('%-6d %9.4f' % (j + 1, joins[j] / rate)) if j < len(joins) else '%-16s' % 'far'
        print(label + ''.join(' %10.1f /%9.1f' % (dbfs(peaks[k, 0, j]), dbfs(peaks[k, 1, j]))
                              for k in range(len(paths))))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('whole')
    ap.add_argument('work')
    ap.add_argument('sets', nargs='+', metavar='NAME=TRACK_DIR')
    ap.add_argument('--window-ms', type=float, default=50)
    args = ap.parse_args()
    whole = Dsdiff(args.whole)
    sound = whole.sound()
    # One byte per channel holds 8 DSD samples; the window in bytes of both channels.
    window = int(round(args.window_ms * 1e-3 * whole.rate / 8)) * whole.channels
    names, paths, dsd_joins = [], [], None
    for item in args.sets:
        name, folder = item.split('=', 1)
        tracks = [Dsdiff(p).sound() for p in sorted(glob.glob(os.path.join(folder, '*.dff')))]
        joins = list(np.cumsum([len(t) for t in tracks])[:-1])
        joined = compare_bits(name, sound, tracks, joins, window)
        path = os.path.join(args.work, 'joined-%s.dff' % name)
        with open(path, 'wb') as out:
            out.write(whole.with_sound(joined))
        names.append(name)
        paths.append(path)
        dsd_joins = [at // whole.channels * 8 for at in joins]
    print()
    compare_decoded(args.whole, whole.rate, names, paths, dsd_joins, args.window_ms)


if __name__ == '__main__':
    main()
