// table_budget.cpp -- choosing the table's wavelet coefficients under a size budget, by the error the
// viewer shows after its display curve
#include "tools/bake/table/table_budget.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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
    return std::pow(c.share * v, c.gamma_inv) * c.light_scale;
}

double display_value_at(const DisplayCurve& c, size_t cell, double v) {
    return display_value(c, c.cell_factor.empty() ? v : c.cell_factor[cell] * v);
}

void record_candidates(const std::vector<float>& field, const std::vector<float>& coeffs,
                       const CoarseCloud& grid, double unit, const DisplayCurve& curve, double threshold,
                       std::vector<Coefficient>& out, double& energy) {
    const int32_t nx = grid.nx, ny = grid.ny, nz = grid.nz;
    const size_t m = coeffs.size();
    // The squared slope of the display, C v^(2 gamma_inv - 2), judged no steeper than at the floor level
    // (for a concave curve): read from a table over the float's exponent and leading mantissa bits,
    // within half a per cent, since the record's every cell needs it.
    const double v_floor = std::pow(kDisplayFloor / curve.light_scale, 1.0 / curve.gamma_inv) / curve.share;
    const double slope_c = curve.gamma_inv * curve.gamma_inv * std::pow(display_value(curve, 1.0), 2.0);
    const double power = 2.0 * curve.gamma_inv - 2.0;
    thread_local double table_power = std::numeric_limits<double>::quiet_NaN();
    thread_local float by_exponent[256], by_mantissa[256];
    if (!(table_power == power)) {
        table_power = power;
        for (int e = 0; e < 256; ++e) by_exponent[e] = static_cast<float>(std::pow(2.0, (e - 127) * power));
        for (int k = 0; k < 256; ++k)
            by_mantissa[k] = static_cast<float>(std::pow(1.0 + (k + 0.5) / 256.0, power));
    }
    const float floor_f = static_cast<float>(v_floor);
    auto slope2 = [&](double v) {
        const float x = std::max(static_cast<float>(v), floor_f);
        uint32_t bits;
        std::memcpy(&bits, &x, 4);
        return slope_c * by_exponent[(bits >> 23) & 0xFF] * by_mantissa[(bits >> 15) & 0xFF];
    };
    // A physical display: D_c(v) = D(k_c v), so its squared slope is k_c^2 D'(k_c v)^2, at most
    // kmax^2 D'(kmax v)^2 wherever D' is falling.
    const bool factors = !curve.cell_factor.empty();
    const double kmax = curve.factor_max;
    auto cell_slope2 = [&](size_t c, double v) {
        if (!factors) return slope2(v);
        const double k = curve.cell_factor[c];
        return k > 0.0 ? k * k * slope2(k * v) : 0.0;
    };
    const double u2 = unit * unit;
    // Most records hold no coefficient that can reach the threshold: their bound needs no table.
    double brightest = 0.0;
    for (float v : field) brightest = std::max(brightest, static_cast<double>(v));
    const double slope_max = kmax * kmax * std::max(slope2(0.0), slope2(kmax * brightest * unit));
    double largest = 0.0;
    for (size_t i = 0; i < m; ++i) {
        const double a = coeffs[i];
        energy += a * a;
        largest = std::max(largest, a * a);
    }
    if (largest * u2 * slope_max < threshold || !(largest > 0.0)) return;
    // Summed-area table of the squared slope over the record's own light.
    const size_t sx = static_cast<size_t>(nx) + 1, sy = static_cast<size_t>(ny) + 1;
    thread_local std::vector<double> sat;
    sat.assign(sx * sy * (static_cast<size_t>(nz) + 1), 0.0);
    for (int32_t z = 0; z < nz; ++z) {
        for (int32_t y = 0; y < ny; ++y) {
            for (int32_t x = 0; x < nx; ++x) {
                const size_t c = static_cast<size_t>(x + nx * (y + ny * z));
                const double s = cell_slope2(c, field[c] * unit);
                const size_t i = (static_cast<size_t>(z + 1) * sy + (y + 1)) * sx + (x + 1);
                sat[i] = s + sat[i - 1] + sat[i - sx] + sat[i - sx * sy] - sat[i - 1 - sx] -
                         sat[i - 1 - sx * sy] - sat[i - sx - sx * sy] + sat[i - 1 - sx - sx * sy];
            }
        }
    }
    // A coefficient below either bound cannot reach the threshold: the linear term with the steepest
    // slope, or the most it can show, which grows with the support (for a concave curve) up to M cells.
    const double most_m = static_cast<double>(m) * std::pow(display_value(curve, kmax), 2.0);
    const double a_linear = std::sqrt(threshold / (u2 * slope_max));
    const double a_most = curve.gamma_inv < 1.0 ? std::pow(threshold / most_m, 0.5 / curve.gamma_inv) *
                                                      std::sqrt(static_cast<double>(m)) / unit
                                                : 0.0;
    const double a_min = std::max(a_linear, a_most);
    thread_local std::vector<int32_t> start[3], length[3];
    supports(nx, start[0], length[0]);
    supports(ny, start[1], length[1]);
    supports(nz, start[2], length[2]);
    auto at = [&](size_t x, size_t y, size_t z) { return sat[(z * sy + y) * sx + x]; };
    for (size_t i = 0; i < m; ++i) {
        const double a = coeffs[i];
        if (a == 0.0 || std::fabs(a) < a_min) continue;
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
        const double most = display_value(curve, kmax * std::fabs(a) * unit / std::sqrt(cells));
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
        rec.erase(std::remove_if(rec.begin(), rec.end(),
                                 [&](const Coefficient& c) { return c.error < pool.threshold; }),
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
            std::sort(rec.begin(), rec.end(),
                      [](const Coefficient& a, const Coefficient& b) { return a.index < b.index; });
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
        std::sort(rec.begin(), rec.end(),
                  [](const Coefficient& a, const Coefficient& b) { return a.index < b.index; });
        pool.count += static_cast<int64_t>(rec.size());
    }
}
