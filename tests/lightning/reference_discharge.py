#!/usr/bin/env python3
# reference_discharge.py -- a second, independent implementation of one discharge
#
# Written from the growth rules alone, without looking at the C++ code, to produce
# the expected numbers pasted into discharge_test.cpp (WholeDischargeMatchesReference).
# Every float operation is rounded to single precision so that the two agree to far
# better than the test's tolerance. Nobody runs this at test time; run it by hand
# with `python3 reference_discharge.py` after changing the scenario.
import math
import struct


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


PI = f32(3.1415926)
TWO_PI = f32(6.2831852)
U = 2.0 ** -15

# Scenario (mirrored in the C++ test).
SEED = int(__import__("os").environ.get("SEED", "35"))
WARM_UP = 60000
MAX_DEPTH = 2
SPREAD = f32(0.4)
MEAN = f32(f32(f32(15.0) / f32(180.0)) * PI)
SEG_MIN, SEG_MAX = f32(1.0), f32(3.0)
BRANCH_P, CONTINUE_P, DECAY = f32(0.35), f32(0.85), f32(0.7)
LOW = (f32(-20.0), f32(-20.0), 0.0)
HIGH = (f32(20.0), f32(20.0), f32(30.0))
START = (f32(2.0), f32(-3.0), f32(9.0))
EYE = (0.0, f32(-100.0), f32(5.0))
CHANNEL = (f32(1.0), f32(0.8), f32(0.6))
EMISSION = (f32(0.5), f32(0.25), f32(2.0))
MAX_BRANCHES, MAX_POINTS = 10, 1000


class Rng:
    def __init__(self, seed):
        self.s = seed & 0xFFFFFFFF
        self.offset = f32(math.sqrt(12.0))
        self.scale = f32(f32(2.0 * self.offset) / 131068.0)

    def draw(self):
        self.s = (self.s * 214013 + 2531011) & 0xFFFFFFFF
        return (self.s >> 16) & 0x7FFF

    def normal(self):
        total = 0.0
        for _ in range(4):
            total = f32(total + self.draw())
        return f32(f32(self.scale * total) - self.offset)


def vadd(a, b):
    return tuple(f32(x + y) for x, y in zip(a, b))


def vsub(a, b):
    return tuple(f32(x - y) for x, y in zip(a, b))


def vscale(a, s):
    return tuple(f32(x * s) for x in a)


def frame(a, b):
    hx, hy, hz = vsub(a, b)
    hor = f32(f32(hx * hx) + f32(hy * hy))
    if hor < f32(1e-6):
        return (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)
    hl = f32(math.sqrt(f32(hor + f32(hz * hz))))
    rho = f32(math.sqrt(hor))
    e3 = (f32(hx / hl), f32(hy / hl), f32(hz / hl))
    e1 = (f32(-hy / rho), f32(hx / rho), 0.0)
    r = (f32(-hx * hz), f32(-hy * hz), hor)
    rl = f32(math.sqrt(f32(f32(f32(r[0] * r[0]) + f32(r[1] * r[1])) + f32(r[2] * r[2]))))
    e2 = (f32(r[0] / rl), f32(r[1] / rl), f32(r[2] / rl))
    return e1, e2, e3


def outside(p):
    return p[2] < LOW[2] or p[0] < LOW[0] or p[0] > HIGH[0] or p[1] < LOW[1] or p[1] > HIGH[1]


def step(rng, fr, prev):
    g = rng.normal()
    theta = f32(PI - f32(f32(g * SPREAD) + MEAN))
    phi = f32(f32(f32(rng.draw() * U) * PI) * 2.0)
    length = f32(SEG_MIN + f32(f32(f32(SEG_MAX - SEG_MIN) * rng.draw()) * U))
    st = f32(math.sin(theta))
    u = (f32(st * f32(math.cos(phi))), f32(st * f32(math.sin(phi))), f32(math.cos(theta)))
    e1, e2, e3 = fr
    off = vadd(vadd(vscale(e1, u[0]), vscale(e2, u[1])), vscale(e3, u[2]))
    return vadd(prev, vscale(off, length)), u


branches = []  # (level, [points]) in slot order


def grow(rng, depth, start, direction, c):
    if len(branches) >= MAX_BRANCHES or depth >= MAX_DEPTH:
        return
    pts = [start]
    branches.append((depth, pts))
    fr = frame(start, vadd(start, direction))
    p, u = step(rng, fr, start)
    pts.append(p)
    stop = outside(p)
    q = f32(f32(1.0 - f32(depth / MAX_DEPTH)) * BRANCH_P)
    while not stop and len(pts) < MAX_POINTS:
        p, u = step(rng, fr, pts[-1])
        pts.append(p)
        stop = stop or outside(p)
        if q > rng.draw() * U:
            grow(rng, depth + 1, p, u, f32(c * DECAY))
        if c < rng.draw() * U:
            stop = True


rng = Rng(SEED)
for _ in range(WARM_UP):
    rng.draw()
theta0 = f32(PI - f32(f32(f32(rng.draw() * PI) * U) * f32(0.15)))
phi0 = f32(f32(rng.draw() * TWO_PI) * U)
rng.draw()
s0 = f32(math.sin(theta0))
d0 = (f32(s0 * f32(math.cos(phi0))), f32(s0 * f32(math.sin(phi0))), f32(math.cos(theta0)))
grow(rng, 0, START, d0, CONTINUE_P)

# Point sources: count and summed intensity.
count = 0
total = [0.0, 0.0, 0.0]
for level, pts in branches:
    w = 1.0 - level / MAX_DEPTH
    for a, b in zip(pts, pts[1:]):
        length = math.dist(a, b)
        if length <= 0:
            continue
        m = int(length * 0.5 + 1.0)
        count += m
        for ch in range(3):
            total[ch] += EMISSION[ch] * CHANNEL[ch] * w * length

dist = math.dist(START, EYE)
gain = 1.0 if dist == 0 else min(max(500000.0 / dist, 0.9), 1.0)

print("// branches: %d, state after: %u" % (len(branches), rng.s))
for level, pts in branches:
    print("// level %d, %d points" % (level, len(pts)))
    for p in pts:
        print("{%.6ff, %.6ff, %.6ff}," % p)
print("// sources %d, total intensity %.6f %.6f %.6f, gain %.6f" % (count, total[0], total[1], total[2], gain))
