// coarse_cloud.cpp -- the coarse density grid the lighting tables are computed on, and its ray marching
#include "tools/bake/medium/coarse_cloud.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>

#include "tools/bake/medium/grid_walk.h"
#include "tools/bake/parallel.h"

Point3 CoarseCloud::centre(int32_t c) const {
    const int32_t x = c % nx, y = (c / nx) % ny, z = c / (nx * ny);
    return {(x + 0.5) * cell, (y + 0.5) * cell, (z + 0.5) * cell};
}

CoarseCloud make_coarse_cloud(const std::vector<float>& fine, int32_t nx, int32_t ny, int32_t nz,
                              int32_t dscl, double fine_size, double extinction) {
    CoarseCloud c;
    c.nx = nx / dscl;
    c.ny = ny / dscl;
    c.nz = nz / dscl;
    c.cell = dscl * fine_size;
    c.extinction = extinction;
    c.density.assign(static_cast<size_t>(c.count()), 0.0);
    const double inv_block = 1.0 / (static_cast<double>(dscl) * dscl * dscl);
    for (int32_t z = 0; z < c.nz * dscl; ++z) {
        for (int32_t y = 0; y < c.ny * dscl; ++y) {
            for (int32_t x = 0; x < c.nx * dscl; ++x) {
                const float d = fine[(static_cast<size_t>(z) * ny + y) * nx + x];
                const size_t ci =
                    static_cast<size_t>(x / dscl) +
                    c.nx * (static_cast<size_t>(y / dscl) + static_cast<size_t>(c.ny) * (z / dscl));
                c.density[ci] += d * inv_block;
            }
        }
    }
    return c;
}

double density_path_integral(const CoarseCloud& cloud, const Point3& a, const Point3& b) {
    const double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (len <= 0.0) return 0.0;
    WalkBox box;
    box.cell = cloud.cell;
    box.nx = cloud.nx;
    box.ny = cloud.ny;
    box.hi[0] = cloud.nx;
    box.hi[1] = cloud.ny;
    box.hi[2] = cloud.nz;
    const double p[3] = {a[0], a[1], a[2]};
    const double w[3] = {d[0] / len, d[1] / len, d[2] / len};
    double sum = 0.0;
    walk_grid(box, p, w, len, [&](int32_t cell, double t0, double t1) {
        sum += cloud.density[static_cast<size_t>(cell)] * (t1 - t0);
        return true;
    });
    return sum;
}

double transmittance(const CoarseCloud& cloud, const Point3& a, const Point3& b) {
    return std::exp(-cloud.extinction * density_path_integral(cloud, a, b));
}

uint8_t transmittance_byte(double t) {
    const long b = std::lround(std::clamp(t, 0.0, 1.0) * 255.0);
    return static_cast<uint8_t>(b);
}

std::vector<uint8_t> genk_file_bytes(const CoarseCloud& cloud, int workers, bool progress) {
    const size_t m = static_cast<size_t>(cloud.count());
    std::vector<uint8_t> out(12 + m * m);
    const int32_t header[3] = {cloud.nx, cloud.ny, cloud.nz};
    for (int k = 0; k < 3; ++k) {
        const uint32_t u = static_cast<uint32_t>(header[k]);
        for (int b = 0; b < 4; ++b) out[4 * k + b] = static_cast<uint8_t>(u >> (8 * b));
    }
    uint8_t* table = out.data() + 12;
    std::atomic<int> rows_done{0};
    const int report_every = std::max<int>(1, static_cast<int>(m / 10));
    // Row r marches to every c > r and fills both (r, c) and (c, r); the diagonal is clear.
    parallel_for(static_cast<int>(m), workers, [&](int r) {
        table[r * m + r] = 255;
        const Point3 pr = cloud.centre(r);
        for (size_t c = static_cast<size_t>(r) + 1; c < m; ++c) {
            const uint8_t b =
                transmittance_byte(transmittance(cloud, pr, cloud.centre(static_cast<int32_t>(c))));
            table[r * m + c] = b;
            table[c * m + r] = b;
        }
        const int done = rows_done.fetch_add(1) + 1;
        if (progress && done % report_every == 0) {
            std::printf("  genk.tbl: %d/%zu rows\n", done, m);
            std::fflush(stdout);
        }
    });
    return out;
}
