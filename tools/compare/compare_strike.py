#!/usr/bin/env python3
"""Compares the viewer's frame of a strike with a path tracer's rendering of it, over the cloud.

  compare_strike.py VIEWER.png CYCLES.png [--dark VIEWER_DARK.png] [--gamma-inv G] [--size WxH]
                    [--alpha-min A] [--side-by-side OUT.png]

VIEWER.png is the viewer's lit frame (8-bit); with --dark, the frame after it, and the cloud's light is
taken as the lit frame minus the dark one in linear light (the sky, town and flash behind thin cloud
and the sun's and the sky's light on the cloud cancel). Without --dark the frame is compared as it
is: a frame before a strike against a render lit by the sun and the sky alone (render.py
--ambient-only), where the dim sky behind thin cloud stays in the viewer's pixels. CYCLES.png
is render.py's 16-bit linear RGBA; its alpha (the cloud's opacity) says which pixels are over the cloud:
those whose mean alpha reaches --alpha-min after both images are box-filtered down to --size (default:
half the path tracer's size). The path tracer's radiance R is shown as the viewer shows light,
255 (kR)^G (G the scene's gamma_inv, default 1/3), with k chosen to make the relative L1 difference least.

Prints: relative L1, Pearson and rank (Spearman) correlation, the overlap (IoU) of the brightest tenth of
each and the offset of their centroids, the mean brightness by fifths of the cloud's height for both,
and a last line "metrics: ..." of name-value pairs for scripts; k_radiance there is k for the render's
radiance in the record's units (from its "radiance_scale"), 1 / (albedo x J_white) when the viewer and
the path tracer agree in level as well as in shape. --side-by-side writes the viewer's cloud
light | the path tracer through the fitted curve | the difference (red: the viewer brighter, blue: darker).
"""
import argparse
import struct
import sys
import zlib

import numpy as np


def _unfilter(raw, height, stride, bpp):
    out = bytearray(height * stride)
    prev = bytearray(stride)
    pos = 0
    for y in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, prev))
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 255
        elif kind == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b = prev[i]
                c = prev[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
        elif kind != 0:
            raise SystemExit("unknown PNG filter %d" % kind)
        out[y * stride:(y + 1) * stride] = line
        prev = line
    return bytes(out)


def load_png(path):
    """Returns (height x width x channels float array in 0..1, text chunks)."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit("%s: not a PNG file" % path)
    pos, idat, text = 8, b"", {}
    width = height = depth = ctype = 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth not in (8, 16) or ctype not in (0, 2, 4, 6) or interlace:
                raise SystemExit("%s: only 8- or 16-bit, non-interlaced grey or RGB(A) PNGs" % path)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"tEXt":
            key, _, value = body.partition(b"\x00")
            text[key.decode("latin-1")] = value.decode("latin-1")
        pos += 12 + length
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[ctype]
    bpp = channels * depth // 8
    raw = _unfilter(zlib.decompress(idat), height, width * bpp, bpp)
    dtype = np.uint8 if depth == 8 else np.dtype(">u2")
    pixels = np.frombuffer(raw, dtype=dtype).reshape(height, width, channels).astype(np.float64)
    return pixels / (255.0 if depth == 8 else 65535.0), text


def save_png(path, rgb):
    """rgb: height x width x 3 array of 0..255."""
    h, w, _ = rgb.shape
    px = np.clip(np.rint(rgb), 0, 255).astype(np.uint8)
    raw = b"".join(b"\x00" + px[y].tobytes() for y in range(h))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def box_down(image, width, height):
    h, w = image.shape[:2]
    if w % width or h % height:
        raise SystemExit("an image of %d x %d does not shrink evenly to %d x %d" % (w, h, width, height))
    fy, fx = h // height, w // width
    return image.reshape(height, fy, width, fx, *image.shape[2:]).mean(axis=(1, 3))


def ranks(values):
    """Ranks from 0, ties sharing their mean rank."""
    order = np.argsort(values, kind="mergesort")
    r = np.empty(len(values))
    r[order] = np.arange(len(values), dtype=np.float64)
    _, inverse, counts = np.unique(values, return_inverse=True, return_counts=True)
    sums = np.bincount(inverse, weights=r)
    return (sums / counts)[inverse]


def pearson(a, b):
    a = a - a.mean()
    b = b - b.mean()
    den = np.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / den) if den > 0 else 0.0


def display(radiance, k, gamma_inv):
    return np.minimum(255.0 * np.power(np.maximum(k * radiance, 0.0), gamma_inv), 255.0)


def fit_k(v, r, gamma_inv):
    """The k that makes sum |v - 255 (k r)^g| least (a coarse scan over decades, then golden section)."""
    lit = r > 0
    if not lit.any() or not (v > 0).any():
        return 1.0
    # Start where the medians meet, then look four decades either side.
    k0 = (max(np.median(v[v > 0]), 1e-3) / 255.0) ** (1.0 / gamma_inv) / np.median(r[lit])
    cost = lambda lk: np.abs(v - display(r, np.exp(lk), gamma_inv)).sum()
    grid = np.log(k0) + np.linspace(-9.2, 9.2, 185)
    best = int(np.argmin([cost(x) for x in grid]))
    lo, hi = grid[max(best - 1, 0)], grid[min(best + 1, len(grid) - 1)]
    phi = (np.sqrt(5.0) - 1.0) / 2.0
    for _ in range(60):
        a, b = hi - phi * (hi - lo), lo + phi * (hi - lo)
        if cost(a) < cost(b):
            hi = b
        else:
            lo = a
    return float(np.exp(0.5 * (lo + hi)))


def brightest_tenth(values, mask):
    cut = np.quantile(values[mask], 0.9)
    return mask & (values >= cut)


def centroid(sel):
    ys, xs = np.nonzero(sel)
    return float(xs.mean()), float(ys.mean())


def fifths(values, mask):
    rows = np.nonzero(mask.any(axis=1))[0]
    top, bottom = rows.min(), rows.max() + 1
    edges = np.linspace(top, bottom, 6)
    out = []
    y = np.arange(mask.shape[0])[:, None] + np.zeros_like(values)
    for i in range(5):
        band = mask & (y >= edges[i]) & (y < edges[i + 1])
        out.append(float(values[band].mean()) if band.any() else 0.0)
    return out


def compare(viewer, cycles, dark=None, gamma_inv=1.0 / 3.0, size=None, alpha_min=0.5):
    """viewer, dark: h x w x 3 (0..1); cycles: h x w x 4 (linear RGB, alpha). Returns a dict of metrics
    and the images of the side-by-side picture."""
    if cycles.shape[2] != 4:
        raise SystemExit("the path tracer's PNG needs an alpha channel (the cloud's opacity)")
    width, height = size or (cycles.shape[1] // 2, cycles.shape[0] // 2)
    light = viewer[:, :, :3]
    if dark is not None:
        # In linear light, where the two add: the display curve would squeeze a strike's light over a
        # sunlit cloud.
        lin = np.power(light, 1.0 / gamma_inv) - np.power(dark[:, :, :3], 1.0 / gamma_inv)
        light = np.power(np.maximum(lin, 0.0), gamma_inv)
    v = box_down(light.mean(axis=2) * 255.0, width, height)
    r = box_down(cycles[:, :, :3].mean(axis=2), width, height)
    alpha = box_down(cycles[:, :, 3], width, height)
    mask = alpha >= alpha_min
    if mask.sum() < 20:
        raise SystemExit("only %d pixels over the cloud at %d x %d: nothing to compare" % (mask.sum(), width, height))
    k = fit_k(v[mask], r[mask], gamma_inv)
    c = display(r, k, gamma_inv)
    vm, cm = v[mask], c[mask]
    top_v, top_c = brightest_tenth(v, mask), brightest_tenth(c, mask)
    (vx, vy), (cx, cy) = centroid(top_v), centroid(top_c)
    m = {
        "pixels": int(mask.sum()),
        "width": width,
        "height": height,
        "k": k,
        "l1": float(np.abs(vm - cm).sum() / max(vm.sum(), 1e-9)),
        "pearson": pearson(vm, cm),
        "spearman": pearson(ranks(vm), ranks(r[mask])),
        "iou": float((top_v & top_c).sum() / (top_v | top_c).sum()),
        "dx": vx - cx,
        "dy": vy - cy,
        "fifths_viewer": fifths(v, mask),
        "fifths_cycles": fifths(c, mask),
    }
    diff = np.where(mask, v - c, 0.0)
    gain = 2.0
    red = np.clip(diff * gain, 0, 255)
    blue = np.clip(-diff * gain, 0, 255)
    panels = [np.repeat(v[:, :, None], 3, axis=2), np.repeat(c[:, :, None], 3, axis=2),
              np.stack([red, 0.35 * (red + blue), blue], axis=2)]
    return m, panels


def side_by_side(panels, path, scale=2, gap=4):
    h, w, _ = panels[0].shape
    big = [np.repeat(np.repeat(p, scale, axis=0), scale, axis=1) for p in panels]
    sep = np.full((h * scale, gap, 3), 96.0)
    row = [big[0]]
    for p in big[1:]:
        row += [sep, p]
    save_png(path, np.concatenate(row, axis=1))


def report(m):
    lines = [
        "over the cloud: %d pixels at %d x %d; fitted k %.4g" % (m["pixels"], m["width"], m["height"], m["k"]),
        "relative L1 %.3f, Pearson %.3f, rank correlation %.3f" % (m["l1"], m["pearson"], m["spearman"]),
        "brightest tenth: IoU %.3f, the viewer's centroid %.1f px %s and %.1f px %s of the path tracer's" %
        (m["iou"], abs(m["dy"]), "higher" if m["dy"] < 0 else "lower", abs(m["dx"]),
         "left" if m["dx"] < 0 else "right"),
        "mean brightness by fifths of the cloud's height, top to bottom:",
        "  path tracer: " + " / ".join("%.0f" % x for x in m["fifths_cycles"]),
        "  viewer:      " + " / ".join("%.0f" % x for x in m["fifths_viewer"]),
        "metrics: l1 %.4f pearson %.4f spearman %.4f iou %.4f dx %.2f dy %.2f" %
        (m["l1"], m["pearson"], m["spearman"], m["iou"], m["dx"], m["dy"]) +
        (" k_radiance %.4f" % m["k_radiance"] if "k_radiance" in m else ""),
    ]
    return "\n".join(lines)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("viewer")
    p.add_argument("cycles")
    p.add_argument("--dark", help="the viewer's frame after the strike")
    p.add_argument("--gamma-inv", type=float, default=1.0 / 3.0)
    p.add_argument("--size", help="compare at WxH (default: half the path tracer's size)")
    p.add_argument("--alpha-min", type=float, default=0.5)
    p.add_argument("--side-by-side", help="write viewer | path tracer | difference here")
    o = p.parse_args(argv)
    viewer, _ = load_png(o.viewer)
    cycles, text = load_png(o.cycles)
    dark = load_png(o.dark)[0] if o.dark else None
    size = tuple(int(x) for x in o.size.lower().split("x")) if o.size else None
    m, panels = compare(viewer, cycles, dark, o.gamma_inv, size, o.alpha_min)
    if "radiance_scale" in text:
        # k for the render's own radiance, in the record's units: the viewer shows radiance R as
        # 255 (k R)^gamma_inv, so k = 1 / (albedo x J_white) when the two agree in level too.
        m["k_radiance"] = m["k"] * float(text["radiance_scale"]) / 65535.0
    print(report(m))
    if o.side_by_side:
        side_by_side(panels, o.side_by_side)
        print("side by side (viewer | path tracer | difference, red: the viewer brighter): " + o.side_by_side)


if __name__ == "__main__":
    main(sys.argv[1:])
