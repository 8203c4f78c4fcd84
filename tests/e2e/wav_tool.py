#!/usr/bin/env python3
"""Checks a 16-bit PCM WAV file the viewer wrote: wav_tool.py FILE prints rate channels bits values rms."""
import math
import struct
import sys

data = open(sys.argv[1], "rb").read()
if data[:4] != b"RIFF" or data[8:12] != b"WAVE" or data[12:16] != b"fmt ":
    raise SystemExit("not a RIFF/WAVE file")
tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", data[20:36])
if tag != 1 or data[36:40] != b"data":
    raise SystemExit("not canonical PCM")
size = struct.unpack("<I", data[40:44])[0]
if size != len(data) - 44:
    raise SystemExit(f"data size {size} but {len(data) - 44} bytes follow the header")
values = struct.unpack(f"<{size // 2}h", data[44:44 + size - size % 2])
rms = math.sqrt(sum(v * v for v in values) / max(1, len(values)))
print(rate, channels, bits, len(values), f"{rms:.1f}")
