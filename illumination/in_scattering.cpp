// in_scattering.cpp -- coarse scattering coefficients and the filling of empty coarse cells
#include "illumination/in_scattering.h"

#include <algorithm>
#include <cstring>

namespace {

uint64_t mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull; }

uint64_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Identifies the cloud cheaply: sizes, optics and which density array; the density is read once at
// start-up and never rewritten in place.
uint64_t cloud_fingerprint(const CloudGrid& c) {
    uint64_t h = 0xcbf29ce484222325ull;
    const int32_t ints[7] = {c.grd_numx, c.grd_numy, c.grd_numz, c.dscl, c.dcl_numx, c.dcl_numy, c.dcl_numz};
    for (int32_t v : ints) h = mix(h, static_cast<uint32_t>(v));
    h = mix(h, float_bits(c.optical[0]));
    h = mix(h, float_bits(c.optical[1]));
    h = mix(h, reinterpret_cast<uintptr_t>(c.grd_density.data()));
    h = mix(h, c.grd_density.size());
    return h | 1u;
}

}  // namespace

std::vector<float> coarse_scattering(const CloudGrid& c) {
    const int32_t nx = c.dcl_numx, ny = c.dcl_numy, nz = c.dcl_numz, s = c.dscl;
    const size_t m = nx > 0 && ny > 0 && nz > 0 ? static_cast<size_t>(nx) * ny * nz : 0;
    std::vector<double> sum(m, 0.0);
    if (m > 0 && s > 0) {
        const int32_t fx = std::min(c.grd_numx, nx * s), fy = std::min(c.grd_numy, ny * s),
                      fz = std::min(c.grd_numz, nz * s);
        for (int32_t z = 0; z < fz; ++z) {
            for (int32_t y = 0; y < fy; ++y) {
                const size_t row = (static_cast<size_t>(z) * c.grd_numy + y) * c.grd_numx;
                const size_t coarse_row = (static_cast<size_t>(z / s) * ny + y / s) * nx;
                for (int32_t x = 0; x < fx; ++x) {
                    const size_t f = row + static_cast<size_t>(x);
                    if (f < c.grd_density.size())
                        sum[coarse_row + static_cast<size_t>(x / s)] += c.grd_density[f];
                }
            }
        }
    }
    const double per_block = s > 0 ? 1.0 / (static_cast<double>(s) * s * s) : 0.0;
    const double k = static_cast<double>(c.optical[0]) * c.optical[1] * per_block;
    std::vector<float> sigma(m);
    for (size_t i = 0; i < m; ++i) sigma[i] = static_cast<float>(std::max(0.0, sum[i] * k));
    return sigma;
}

void prepare_in_scattering(InScattering& s, const CloudGrid& cloud) {
    const uint64_t key = cloud_fingerprint(cloud);
    if (s.made_for == key) return;
    s = InScattering{};
    s.made_for = key;
    const std::vector<float> sigma = coarse_scattering(cloud);
    s.inv_sigma_s.resize(sigma.size());
    for (size_t i = 0; i < sigma.size(); ++i) s.inv_sigma_s[i] = sigma[i] > 0.0f ? 1.0f / sigma[i] : 0.0f;
    const int32_t nx = cloud.dcl_numx, ny = cloud.dcl_numy, nz = cloud.dcl_numz;
    s.fill_start.push_back(0);
    for (int32_t z = 0; z < nz; ++z) {
        for (int32_t y = 0; y < ny; ++y) {
            for (int32_t x = 0; x < nx; ++x) {
                const int32_t i = (z * ny + y) * nx + x;
                if (sigma[static_cast<size_t>(i)] > 0.0f) continue;
                const size_t before = s.fill_from.size();
                for (int32_t dz = -1; dz <= 1; ++dz) {
                    for (int32_t dy = -1; dy <= 1; ++dy) {
                        for (int32_t dx = -1; dx <= 1; ++dx) {
                            const int32_t a = x + dx, b = y + dy, c = z + dz;
                            if (a < 0 || b < 0 || c < 0 || a >= nx || b >= ny || c >= nz) continue;
                            const int32_t j = (c * ny + b) * nx + a;
                            if (sigma[static_cast<size_t>(j)] > 0.0f) s.fill_from.push_back(j);
                        }
                    }
                }
                if (s.fill_from.size() == before) continue;
                s.fill_cell.push_back(i);
                s.fill_start.push_back(static_cast<int32_t>(s.fill_from.size()));
            }
        }
    }
}

void fill_empty_cells(const InScattering& s, Vec3* light) {
    for (size_t f = 0; f < s.fill_cell.size(); ++f) {
        const int32_t begin = s.fill_start[f], end = s.fill_start[f + 1];
        const float w = 1.0f / static_cast<float>(end - begin);
        Vec3* out = light + static_cast<size_t>(s.fill_cell[f]) * kDirCount;
        for (int32_t d = 0; d < kDirCount; ++d) {
            Vec3 sum{};
            for (int32_t k = begin; k < end; ++k)
                sum =
                    add(sum, light[static_cast<size_t>(s.fill_from[static_cast<size_t>(k)]) * kDirCount + d]);
            out[d] = scale(sum, w);
        }
    }
}
