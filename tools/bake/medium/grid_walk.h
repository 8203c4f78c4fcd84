// grid_walk.h -- the one walk of a straight line through the cells of a regular grid, for the
// light transport and the attenuation table
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

// The cells a walk may visit: the box of cells lo (inclusive) to hi (exclusive) of a grid of edge
// `cell` with nx x ny cells per layer (cell (x, y, z) has index x + nx * (y + ny * z)); the grid's
// low corner is the origin.
struct WalkBox {
    double cell = 0.0;
    int32_t nx = 0, ny = 0;
    int32_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
};

// Clips the line from p along unit w to the box (slab test) before t_max: false when it misses the box;
// otherwise the distances t0 where it enters and t1 where it leaves, and the cell c it enters.
inline bool enter_walk_box(const WalkBox& b, const double p[3], const double w[3], double t_max, double& t0,
                           double& t1, int32_t c[3]) {
    t0 = 0.0;
    t1 = t_max;
    for (int k = 0; k < 3; ++k) {
        const double lo = b.lo[k] * b.cell, hi = b.hi[k] * b.cell;
        if (w[k] == 0.0) {
            if (p[k] < lo || p[k] > hi) return false;
            continue;
        }
        const double inv = 1.0 / w[k];
        double ta = (lo - p[k]) * inv, tb = (hi - p[k]) * inv;
        if (ta > tb) std::swap(ta, tb);
        t0 = std::max(t0, ta);
        t1 = std::min(t1, tb);
    }
    if (!(t0 < t1)) return false;
    for (int k = 0; k < 3; ++k) {
        const double q = (p[k] + w[k] * t0) / b.cell;
        double f = std::floor(q);
        // Entering exactly on a cell's far face along a negative direction starts in that cell.
        if (w[k] < 0.0 && q == f) f -= 1.0;
        c[k] = std::clamp(static_cast<int32_t>(f), b.lo[k], b.hi[k] - 1);
    }
    return true;
}

// Walks from p along unit direction w for at most t_max, calling visit(cell, t_begin, t_end) for
// each cell of the box crossed, in order, until it returns false. Returns false when the visitor
// stopped the walk, true when the line left the box or reached t_max. Distances are along w.
template <class Visit>
bool walk_grid(const WalkBox& b, const double p[3], const double w[3], double t_max, Visit&& visit) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double t0 = 0.0, t1 = 0.0;
    int32_t c[3], step[3];
    if (!enter_walk_box(b, p, w, t_max, t0, t1, c)) return true;
    double t_next[3], t_delta[3];
    for (int k = 0; k < 3; ++k) {
        if (w[k] > 0.0) {
            step[k] = 1;
            t_next[k] = std::max(t0, ((c[k] + 1) * b.cell - p[k]) / w[k]);
            t_delta[k] = b.cell / w[k];
        } else if (w[k] < 0.0) {
            step[k] = -1;
            t_next[k] = std::max(t0, (c[k] * b.cell - p[k]) / w[k]);
            t_delta[k] = -b.cell / w[k];
        } else {
            step[k] = 0;
            t_next[k] = kInf;
            t_delta[k] = kInf;
        }
    }
    const int32_t stride[3] = {1, b.nx, b.nx * b.ny};
    int32_t index = c[0] * stride[0] + c[1] * stride[1] + c[2] * stride[2];
    double t = t0;
    for (;;) {
        int k = t_next[0] < t_next[1] ? 0 : 1;
        if (t_next[2] < t_next[k]) k = 2;
        const double end = std::min(t_next[k], t1);
        if (!visit(index, t, end)) return false;
        if (end >= t1) return true;
        t = end;
        c[k] += step[k];
        if (c[k] < b.lo[k] || c[k] >= b.hi[k]) return true;
        index += step[k] * stride[k];
        t_next[k] += t_delta[k];
    }
}
