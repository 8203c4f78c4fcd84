// storm_cloud.h -- the procedural thunderstorm cell and its grid file
#pragma once

#include <cstdint>
#include <vector>

// One byte of density per fine cell, x fastest, then y, then z.
struct CloudBytes {
    int32_t nx = 0, ny = 0, nz = 0;
    float byte_scale = 0.0f;  // density of one byte step
    std::vector<uint8_t> bytes;
};

// Density of one byte step: 255 stays just below 1.0, so the splat renderer's
// 32 density tiles never wrap.
constexpr float kCloudByteScale = 1.0f / 256.0f;

// Builds a storm cell filling an nx x ny x nz box: a flat dark base near the bottom,
// a tower leaning slightly downwind (+x), a spreading anvil under a flat top and an
// overshooting dome, all broken up by seeded fractal noise. The shape is laid out in
// the box's own proportions, so any grid size gives the same storm at its resolution.
CloudBytes make_storm_cloud(int32_t nx, int32_t ny, int32_t nz, uint32_t seed, int workers);

// The grid file: three int32 sizes, the float byte scale, then the bytes.
std::vector<uint8_t> grid_file_bytes(const CloudBytes& cloud);
