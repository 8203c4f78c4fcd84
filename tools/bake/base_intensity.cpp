// base_intensity.cpp -- single-scattering responses of the coarse cloud and the sparse wavelet table
#include "tools/bake/base_intensity.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "lightning/lightning_grid.h"
#include "tools/bake/parallel.h"

namespace {

constexpr double kFourPi = 12.566370614359172;

}  // namespace

double henyey_greenstein(double cos_angle, double g) {
    const double denom = 1.0 + g * g - 2.0 * g * cos_angle;
    return (1.0 - g * g) / (kFourPi * denom * std::sqrt(denom));
}

void direct_response(const CoarseCloud& cloud, const ScatterModel& model,
                     const std::vector<Point3>& directions, const Point3& source, std::vector<double>& out) {
    const size_t m = static_cast<size_t>(cloud.count());
    const size_t nd = directions.size();
    out.assign(m * nd, 0.0);
    const double near2 = (model.near_limit * cloud.cell) * (model.near_limit * cloud.cell);
    for (size_t c = 0; c < m; ++c) {
        const double rho = cloud.density[c];
        if (rho <= 0.0) continue;
        const Point3 p = cloud.centre(static_cast<int32_t>(c));
        const double v[3] = {p[0] - source[0], p[1] - source[1], p[2] - source[2]};
        const double r2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        const double r = std::sqrt(r2);
        const double reach =
            model.albedo * cloud.extinction * rho * transmittance(cloud, source, p) / std::max(r2, near2);
        for (size_t d = 0; d < nd; ++d) {
            // A source on the cell centre has no travel direction: scatter evenly.
            const double cosine =
                r > 0.0 ? (v[0] * directions[d][0] + v[1] * directions[d][1] + v[2] * directions[d][2]) / r
                        : 0.0;
            const double phase = r > 0.0 ? henyey_greenstein(cosine, model.phase_g) : 1.0 / kFourPi;
            out[d * m + c] = reach * phase;
        }
    }
}

double append_record(std::vector<float>& field, const CoarseCloud& cloud, int32_t keep, double scale,
                     ByteWriter& out) {
    forward_haar_3d(field.data(), cloud.nx, cloud.ny, cloud.nz);
    const int32_t m = static_cast<int32_t>(field.size());
    std::vector<int32_t> order;
    order.reserve(static_cast<size_t>(m));
    double total = 0.0;
    for (int32_t i = 0; i < m; ++i) {
        total += static_cast<double>(field[i]) * field[i];
        if (field[i] != 0.0f) order.push_back(i);
    }
    auto larger = [&](int32_t a, int32_t b) {
        const float fa = std::fabs(field[a]), fb = std::fabs(field[b]);
        return fa != fb ? fa > fb : a < b;
    };
    const int32_t n = std::min<int32_t>(keep, static_cast<int32_t>(order.size()));
    if (n < static_cast<int32_t>(order.size()))
        std::nth_element(order.begin(), order.begin() + n, order.end(), larger);
    order.resize(static_cast<size_t>(n));
    std::sort(order.begin(), order.end());
    double kept = 0.0;
    out.i32(n);
    for (int32_t i : order) out.i32(i);
    for (int32_t i : order) {
        kept += static_cast<double>(field[i]) * field[i];
        out.f32(static_cast<float>(field[i] * scale));
    }
    out.f32(0.0f);
    return total > 0.0 ? kept / total : 1.0;
}

std::vector<uint8_t> base_intensity_file_bytes(const CoarseCloud& cloud, const ScatterModel& model,
                                               const std::vector<Point3>& directions,
                                               const std::vector<Point3>& sources, int32_t keep, double scale,
                                               int workers, bool progress, double* kept_energy) {
    const int32_t cells = static_cast<int32_t>(sources.size());
    const size_t m = static_cast<size_t>(cloud.count());
    std::vector<std::vector<uint8_t>> records(static_cast<size_t>(cells));
    std::vector<double> energy(static_cast<size_t>(cells), 0.0);
    std::atomic<int> done{0};
    const int report_every = std::max(1, cells / 10);
    parallel_for(cells, workers, [&](int k) {
        std::vector<double> response;
        std::vector<float> field(m);
        direct_response(cloud, model, directions, sources[static_cast<size_t>(k)], response);
        ByteWriter w;
        for (size_t d = 0; d < directions.size(); ++d) {
            std::copy(response.begin() + d * m, response.begin() + (d + 1) * m, field.begin());
            energy[k] += append_record(field, cloud, keep, scale, w);
        }
        energy[k] /= static_cast<double>(directions.size());
        records[k] = std::move(w.bytes);
        const int n = done.fetch_add(1) + 1;
        if (progress && n % report_every == 0) {
            std::printf("  basic_intensity_cmp.dat: %d/%d lightning cells\n", n, cells);
            std::fflush(stdout);
        }
    });
    ByteWriter out;
    out.i32(cells);
    out.i32(static_cast<int32_t>(m));
    out.i32(static_cast<int32_t>(directions.size()));
    size_t total = out.bytes.size();
    for (const auto& r : records) total += r.size();
    out.bytes.reserve(total);
    for (auto& r : records) {
        out.raw(r.data(), r.size());
        std::vector<uint8_t>().swap(r);
    }
    if (kept_energy) {
        *kept_energy = cells > 0 ? std::accumulate(energy.begin(), energy.end(), 0.0) / cells : 1.0;
    }
    return std::move(out.bytes);
}
