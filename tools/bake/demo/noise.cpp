// noise.cpp -- seeded random numbers and fractal value noise for the procedural storm
#include "tools/bake/demo/noise.h"

#include <cmath>

uint64_t BakeRandom::next() {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double BakeRandom::uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

namespace {

// Integer hash of a lattice point: well mixed in all bits, so neighbouring points
// are unrelated.
uint32_t lattice_hash(int32_t x, int32_t y, int32_t z, uint32_t seed) {
    uint32_t h = seed * 0x9E3779B1u;
    h ^= static_cast<uint32_t>(x) * 0x85EBCA77u;
    h = (h << 13) | (h >> 19);
    h ^= static_cast<uint32_t>(y) * 0xC2B2AE3Du;
    h = (h << 17) | (h >> 15);
    h ^= static_cast<uint32_t>(z) * 0x27D4EB2Fu;
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}

double lattice_value(int32_t x, int32_t y, int32_t z, uint32_t seed) {
    return static_cast<double>(lattice_hash(x, y, z, seed) >> 8) * (1.0 / 16777216.0);
}

double smooth(double t) { return t * t * (3.0 - 2.0 * t); }

double lerp(double a, double b, double t) { return a + (b - a) * t; }

}  // namespace

double value_noise(double x, double y, double z, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
    const int32_t ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy), iz = static_cast<int32_t>(fz);
    const double tx = smooth(x - fx), ty = smooth(y - fy), tz = smooth(z - fz);
    double c[2][2];
    for (int dz = 0; dz < 2; ++dz) {
        for (int dy = 0; dy < 2; ++dy) {
            c[dz][dy] = lerp(lattice_value(ix, iy + dy, iz + dz, seed),
                             lattice_value(ix + 1, iy + dy, iz + dz, seed), tx);
        }
    }
    return lerp(lerp(c[0][0], c[0][1], ty), lerp(c[1][0], c[1][1], ty), tz);
}

double fractal_noise(double x, double y, double z, uint32_t seed, int octaves) {
    double sum = 0.0, amplitude = 1.0, total = 0.0, frequency = 1.0;
    for (int o = 0; o < octaves; ++o) {
        // Each octave gets its own lattice so the layers do not line up.
        sum += amplitude * value_noise(x * frequency, y * frequency, z * frequency,
                                       seed + 7919u * static_cast<uint32_t>(o));
        total += amplitude;
        amplitude *= 0.5;
        frequency *= 2.0;
    }
    return total > 0.0 ? sum / total : 0.0;
}
