// base_intensity.cpp -- the sparse wavelet records of the base intensity table
#include "tools/bake/table/base_intensity.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "lightning/lightning_grid.h"
#include "tools/bake/parallel.h"

double append_record(std::vector<float>& field, const CoarseCloud& cloud, int32_t keep, double scale,
                     ByteWriter& out, double* energy) {
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
    if (energy) {
        energy[0] += kept;
        energy[1] += total;
    }
    return total > 0.0 ? kept / total : 1.0;
}
