// coarse_cloud.cpp -- the coarse density grid the lighting tables are computed on, and its ray marching
#include "tools/bake/coarse_cloud.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>

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
    const int32_t n[3] = {cloud.nx, cloud.ny, cloud.nz};
    Point3 d{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (len <= 0.0) return 0.0;
    // Clip the parameter range [0, 1] to the grid's box (slab test).
    double t0 = 0.0, t1 = 1.0;
    for (int k = 0; k < 3; ++k) {
        const double hi = n[k] * cloud.cell;
        if (d[k] == 0.0) {
            if (a[k] < 0.0 || a[k] > hi) return 0.0;
            continue;
        }
        double ta = (0.0 - a[k]) / d[k], tb = (hi - a[k]) / d[k];
        if (ta > tb) std::swap(ta, tb);
        t0 = std::max(t0, ta);
        t1 = std::min(t1, tb);
    }
    if (t0 >= t1) return 0.0;

    // Walk the cells from t0 to t1, stepping over whichever boundary comes first.
    const double inf = std::numeric_limits<double>::infinity();
    int32_t cell[3], step[3];
    double t_next[3], t_delta[3];
    for (int k = 0; k < 3; ++k) {
        const double p = a[k] + d[k] * t0;  // entry point
        double f = std::floor(p / cloud.cell);
        // Entering exactly on the far face along a negative direction starts in the last cell.
        if (d[k] < 0.0 && p / cloud.cell == f) f -= 1.0;
        cell[k] = std::clamp(static_cast<int32_t>(f), 0, n[k] - 1);
        if (d[k] > 0.0) {
            step[k] = 1;
            t_next[k] = ((cell[k] + 1) * cloud.cell - a[k]) / d[k];
            t_delta[k] = cloud.cell / d[k];
        } else if (d[k] < 0.0) {
            step[k] = -1;
            t_next[k] = (cell[k] * cloud.cell - a[k]) / d[k];
            t_delta[k] = -cloud.cell / d[k];
        } else {
            step[k] = 0;
            t_next[k] = inf;
            t_delta[k] = inf;
        }
    }
    double sum = 0.0, t = t0;
    while (t < t1) {
        int k = 0;
        if (t_next[1] < t_next[k]) k = 1;
        if (t_next[2] < t_next[k]) k = 2;
        const double t_end = std::min(t_next[k], t1);
        const size_t ci = static_cast<size_t>(cell[0]) +
                          cloud.nx * (static_cast<size_t>(cell[1]) + static_cast<size_t>(cloud.ny) * cell[2]);
        sum += cloud.density[ci] * (t_end - t);
        t = t_end;
        cell[k] += step[k];
        if (cell[k] < 0 || cell[k] >= n[k]) break;
        t_next[k] += t_delta[k];
    }
    return sum * len;
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
