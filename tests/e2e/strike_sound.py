#!/usr/bin/env python3
"""Where the thunder of each strike is loudest, in frames of the sound:

  strike_sound.py FILE FPS FRAMES STRIKE_FRAME...

FILE is a 16-bit mono WAV or raw little-endian 16-bit values at 16000 Hz. The sound is cut into
one block per frame (frame n, from 1, covers [(n-1)/FPS, n/FPS) s); for every strike frame the
loudest block from it up to the next strike (or the last frame) is printed as "STRIKE LOUDEST".
"""
import math
import struct
import sys

path, fps, frames = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
strikes = [int(s) for s in sys.argv[4:]]
data = open(path, "rb").read()
if data[:4] == b"RIFF":
    data = data[44:]
values = struct.unpack(f"<{len(data) // 2}h", data[: len(data) // 2 * 2])


def block_rms(n):
    lo, hi = (n - 1) * 16000 // fps, n * 16000 // fps
    chunk = values[lo:hi]
    return math.sqrt(sum(v * v for v in chunk) / max(1, len(chunk)))


for i, s in enumerate(strikes):
    end = strikes[i + 1] - 1 if i + 1 < len(strikes) else frames
    loudest = max(range(s, end + 1), key=block_rms)
    print(s, loudest)
