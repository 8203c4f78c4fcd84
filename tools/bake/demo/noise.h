// noise.h -- seeded random numbers and fractal value noise for the procedural storm
#pragma once

#include <cstdint>

// A small deterministic generator (splitmix64): the same seed gives the same sequence
// on every platform, which keeps baked files byte-identical between runs.
struct BakeRandom {
    uint64_t state = 0;
    explicit BakeRandom(uint64_t seed) : state(seed) {}
    // Next 64 random bits.
    uint64_t next();
    // Uniform double in [0, 1).
    double uniform();
    // Uniform double in [-1, 1).
    double signed_uniform() { return 2.0 * uniform() - 1.0; }
};

// Value noise in [0, 1): random values on the integer lattice, blended with a
// smoothstep so the field and its slope are continuous.
double value_noise(double x, double y, double z, uint32_t seed);

// Sum of `octaves` value-noise layers, each twice the frequency and half the amplitude
// of the one before, normalised back to [0, 1).
double fractal_noise(double x, double y, double z, uint32_t seed, int octaves);
