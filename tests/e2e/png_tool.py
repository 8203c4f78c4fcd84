#!/usr/bin/env python3
"""Reads the 8-bit RGB/RGBA PNG frames the viewer writes and answers questions about them.

  png_tool.py mean FILE X0 Y0 X1 Y1        mean R G B over the box (top-left origin, end exclusive)
  png_tool.py count FILE COND X0 Y0 X1 Y1  pixels in the box meeting COND (a python expression in r, g, b)
  png_tool.py diff A B X0 Y0 X1 Y1         mean of (A - B) brightness over the box
  png_tool.py apart A B TOL X0 Y0 X1 Y1    per mille of pixels with a channel more than TOL apart, largest gap
  png_tool.py size FILE                    width height
"""
import struct
import sys
import zlib


def load(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG")
    pos, idat, width, height, ctype = 8, b"", 0, 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, ctype = struct.unpack(">IIBB", body[:10])
            if depth != 8 or ctype not in (2, 6):
                raise SystemExit(f"{path}: only 8-bit RGB/RGBA")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    bpp = 3 if ctype == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev, i = [], bytearray(stride), 0
    for _ in range(height):
        f = raw[i]
        line = bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if f == 1:
                line[x] = (line[x] + a) & 255
            elif f == 2:
                line[x] = (line[x] + b) & 255
            elif f == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pr = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pr) & 255
        rows.append([tuple(line[x * bpp:x * bpp + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def box(args, width, height):
    x0, y0, x1, y1 = (int(v) for v in args)
    return max(0, x0), max(0, y0), min(width, x1), min(height, y1)


def main():
    cmd = sys.argv[1]
    if cmd == "size":
        w, h, _ = load(sys.argv[2])
        print(w, h)
    elif cmd == "mean":
        w, h, rows = load(sys.argv[2])
        x0, y0, x1, y1 = box(sys.argv[3:7], w, h)
        n = max(1, (x1 - x0) * (y1 - y0))
        s = [0, 0, 0]
        for y in range(y0, y1):
            for x in range(x0, x1):
                for k in range(3):
                    s[k] += rows[y][x][k]
        print(" ".join(f"{v / n:.2f}" for v in s))
    elif cmd == "count":
        w, h, rows = load(sys.argv[2])
        cond = compile(sys.argv[3], "cond", "eval")
        x0, y0, x1, y1 = box(sys.argv[4:8], w, h)
        n = 0
        for y in range(y0, y1):
            for x in range(x0, x1):
                r, g, b = rows[y][x]
                n += bool(eval(cond, {}, {"r": r, "g": g, "b": b}))
        print(n)
    elif cmd == "diff":
        w, h, a = load(sys.argv[2])
        _, _, b = load(sys.argv[3])
        x0, y0, x1, y1 = box(sys.argv[4:8], w, h)
        n = max(1, (x1 - x0) * (y1 - y0))
        s = 0
        for y in range(y0, y1):
            for x in range(x0, x1):
                s += sum(a[y][x]) - sum(b[y][x])
        print(f"{s / (3 * n):.2f}")
    elif cmd == "apart":
        # Share of pixels (per mille) with a channel more than TOL apart, then the largest difference.
        w, h, a = load(sys.argv[2])
        _, _, b = load(sys.argv[3])
        tol = int(sys.argv[4])
        x0, y0, x1, y1 = box(sys.argv[5:9], w, h)
        n = max(1, (x1 - x0) * (y1 - y0))
        far = 0
        top = 0
        for y in range(y0, y1):
            for x in range(x0, x1):
                d = max(abs(p - q) for p, q in zip(a[y][x], b[y][x]))
                far += d > tol
                top = max(top, d)
        print(f"{1000 * far / n:.2f} {top}")
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
