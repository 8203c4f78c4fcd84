// table_budget.cpp -- choosing the table's wavelet coefficients under a size budget, by the error the
// viewer shows after its display curve
#include "tools/bake/table_budget.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace {

// Start and length of the support of every 1-D Haar position of a line of n (a power of two): the
// viewer's layout keeps the average at 0 and the details of level h (h = 1, 2, 4, ...) at h ... 2h - 1.
void supports(int32_t n, std::vector<int32_t>& start, std::vector<int32_t>& length) {
    start.assign(static_cast<size_t>(n), 0);
    length.assign(static_cast<size_t>(n), n);
    for (int32_t j = 1; j < n; ++j) {
        int32_t h = 1;
        while (h * 2 <= j) h *= 2;
        length[static_cast<size_t>(j)] = n / h;
        start[static_cast<size_t>(j)] = (j - h) * (n / h);
    }
}

}  // namespace

double display_value(const DisplayCurve& c, double v) {
    if (!(v > 0.0)) return 0.0;
    return std::pow(c.share * v, c.gamma_inv) * c.light_scale / 255.0;
}

void record_candidates(const std::vector<float>& field, const std::vector<float>& coeffs, const CoarseCloud& grid,
                       double unit, const DisplayCurve& curve, double threshold, std::vector<Coefficient>& out,
                       double& energy) {
    const int32_t nx = grid.nx, ny = grid.ny, nz = grid.nz;
    const size_t m = coeffs.size();
    // The steepest slope the display is judged at: its slope at the floor level (for a concave curve).
    const double v_floor = std::pow(kDisplayFloor * 255.0 / curve.light_scale, 1.0 / curve.gamma_inv) / curve.share;
    auto slope2 = [&](double v) {
        const double x = std::max(v, v_floor);
        const double s = curve.gamma_inv * display_value(curve, x) / x;
        return s * s;
    };
    // Summed-area table of the squared slope over the record's own light.
    const size_t sx = static_cast<size_t>(nx) + 1, sy = static_cast<size_t>(ny) + 1;
    thread_local std::vector<double> sat;
    sat.assign(sx * sy * (static_cast<size_t>(nz) + 1), 0.0);
    double slope_max = 0.0;
    for (int32_t z = 0; z < nz; ++z) {
        for (int32_t y = 0; y < ny; ++y) {
            for (int32_t x = 0; x < nx; ++x) {
                const double s = slope2(field[static_cast<size_t>(x + nx * (y + ny * z))] * unit);
                slope_max = std::max(slope_max, s);
                const size_t i = (static_cast<size_t>(z + 1) * sy + (y + 1)) * sx + (x + 1);
                sat[i] = s + sat[i - 1] + sat[i - sx] + sat[i - sx * sy] - sat[i - 1 - sx] - sat[i - 1 - sx * sy] -
                         sat[i - sx - sx * sy] + sat[i - 1 - sx - sx * sy];
            }
        }
    }
    thread_local std::vector<int32_t> start[3], length[3];
    supports(nx, start[0], length[0]);
    supports(ny, start[1], length[1]);
    supports(nz, start[2], length[2]);
    auto at = [&](size_t x, size_t y, size_t z) { return sat[(z * sy + y) * sx + x]; };
    const double u2 = unit * unit;
    for (size_t i = 0; i < m; ++i) {
        const double a = coeffs[i];
        energy += a * a;
        if (a == 0.0 || a * a * u2 * slope_max < threshold) continue;
        const int32_t x = static_cast<int32_t>(i % static_cast<size_t>(nx));
        const int32_t y = static_cast<int32_t>((i / static_cast<size_t>(nx)) % static_cast<size_t>(ny));
        const int32_t z = static_cast<int32_t>(i / (static_cast<size_t>(nx) * static_cast<size_t>(ny)));
        const size_t x0 = static_cast<size_t>(start[0][static_cast<size_t>(x)]),
                     x1 = x0 + static_cast<size_t>(length[0][static_cast<size_t>(x)]);
        const size_t y0 = static_cast<size_t>(start[1][static_cast<size_t>(y)]),
                     y1 = y0 + static_cast<size_t>(length[1][static_cast<size_t>(y)]);
        const size_t z0 = static_cast<size_t>(start[2][static_cast<size_t>(z)]),
                     z1 = z0 + static_cast<size_t>(length[2][static_cast<size_t>(z)]);
        const double cells = static_cast<double>((x1 - x0) * (y1 - y0) * (z1 - z0));
        const double slope_sum = at(x1, y1, z1) - at(x0, y1, z1) - at(x1, y0, z1) - at(x1, y1, z0) +
                                 at(x0, y0, z1) + at(x0, y1, z0) + at(x1, y0, z0) - at(x0, y0, z0);
        const double linear = a * a * u2 * slope_sum / cells;
        const double most = display_value(curve, std::fabs(a) * unit / std::sqrt(cells));
        const double e = std::min(linear, cells * most * most);
        if (e < threshold || !(e > 0.0)) continue;
        out.push_back(Coefficient{static_cast<int32_t>(i), static_cast<float>(a), static_cast<float>(e)});
    }
}

void add_to_pool(BudgetPool& pool, size_t record, std::vector<Coefficient>& candidates) {
    std::vector<Coefficient>& r = pool.records[record];
    for (const Coefficient& c : candidates) {
        if (c.error >= pool.threshold) r.push_back(c);
    }
    pool.count += static_cast<int64_t>(r.size());
    if (pool.count <= 2 * pool.keep || pool.keep <= 0) return;
    std::vector<float> errors;
    errors.reserve(static_cast<size_t>(pool.count));
    for (const auto& rec : pool.records)
        for (const Coefficient& c : rec) errors.push_back(c.error);
    const size_t k = static_cast<size_t>(pool.keep) - 1;
    std::nth_element(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(k), errors.end(),
                     std::greater<float>());
    pool.threshold = errors[k];
    std::vector<float>().swap(errors);
    pool.count = 0;
    for (auto& rec : pool.records) {
        rec.erase(std::remove_if(rec.begin(), rec.end(), [&](const Coefficient& c) { return c.error < pool.threshold; }),
                  rec.end());
        pool.count += static_cast<int64_t>(rec.size());
    }
}

void finish_pool(BudgetPool& pool) {
    std::vector<float> errors;
    errors.reserve(static_cast<size_t>(pool.count));
    for (const auto& rec : pool.records)
        for (const Coefficient& c : rec) errors.push_back(c.error);
    if (static_cast<int64_t>(errors.size()) > pool.keep) {
        const size_t k = static_cast<size_t>(std::max<int64_t>(pool.keep, 1)) - 1;
        std::nth_element(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(k), errors.end(),
                         std::greater<float>());
        const float cut = pool.keep > 0 ? errors[k] : std::numeric_limits<float>::infinity();
        int64_t above = 0;
        for (float e : errors) above += e > cut ? 1 : 0;
        // Ties at the cut are kept in record order, then by position, until the budget is full.
        int64_t ties = pool.keep - above;
        for (auto& rec : pool.records) {
            std::sort(rec.begin(), rec.end(), [](const Coefficient& a, const Coefficient& b) { return a.index < b.index; });
            rec.erase(std::remove_if(rec.begin(), rec.end(),
                                     [&](const Coefficient& c) {
                                         if (c.error > cut) return false;
                                         if (c.error == cut && ties > 0) {
                                             --ties;
                                             return false;
                                         }
                                         return true;
                                     }),
                      rec.end());
        }
    }
    pool.count = 0;
    for (auto& rec : pool.records) {
        std::sort(rec.begin(), rec.end(), [](const Coefficient& a, const Coefficient& b) { return a.index < b.index; });
        pool.count += static_cast<int64_t>(rec.size());
    }
}
