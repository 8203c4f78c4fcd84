// coarse_cloud.h -- the coarse density grid the lighting tables are computed on, and its ray marching
#pragma once

#include <array>
#include <cstdint>
#include <vector>

// A point or offset in cloud-local coordinates (world units from the grid's low corner).
using Point3 = std::array<double, 3>;

// The fine densities averaged over dscl^3 blocks, the resolution of the viewer's
// per-direction radiance and of both tables. Cell (x, y, z) has index
// x + nx * (y + ny * z) and its centre at ((x + 0.5) * cell, ...).
struct CoarseCloud {
    int32_t nx = 0, ny = 0, nz = 0;
    double cell = 0.0;        // edge length in world units (dscl * grd_size)
    double extinction = 0.0;  // optical depth per world unit at density 1
    std::vector<double> density;
    // Number of coarse cells M.
    int32_t count() const { return nx * ny * nz; }
    // Centre of cell c in cloud-local coordinates.
    Point3 centre(int32_t c) const;
};

// Averages fine densities (x fastest, the viewer's grd_density) over each dscl^3
// block; fine cells past the last whole block are left out, as the viewer's coarse
// grid leaves them out.
CoarseCloud make_coarse_cloud(const std::vector<float>& fine, int32_t nx, int32_t ny, int32_t nz,
                              int32_t dscl, double fine_size, double extinction);

// Integral of the density along the straight segment a -> b (density times length),
// exact for the piecewise-constant coarse grid: the segment is clipped to the grid and
// walked cell by cell. Outside the grid the density is 0.
double density_path_integral(const CoarseCloud& cloud, const Point3& a, const Point3& b);

// exp(-extinction * path integral): the fraction of light that survives a -> b.
double transmittance(const CoarseCloud& cloud, const Point3& a, const Point3& b);

// Transmittance quantised to the attenuation table's byte: 0 opaque, 255 clear.
uint8_t transmittance_byte(double t);

// The attenuation table file: the coarse sizes, then for every ordered pair (r, c)
// the byte of the transmittance from the centre of r to the centre of c. The walk is
// symmetric, so each unordered pair is marched once. Prints a progress line per
// tenth of the rows when `progress` is set.
std::vector<uint8_t> genk_file_bytes(const CoarseCloud& cloud, int workers, bool progress);
