// bench_scene.h -- the synthetic storm shared by the relight and splat benchmarks
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "illumination/tables.h"
#include "lightning/lightning_grid.h"
#include "scene/scene.h"

namespace bench {

// 128 x 128 x 64 fine cells of size 1, coarse factor 4: 32 x 32 x 16 coarse cells.
constexpr int32_t kFineX = 128, kFineY = 128, kFineZ = 64, kDscl = 4;
// Coefficients listed per (lightning cell, direction) record of the synthetic table.
constexpr int32_t kCoefficientsPerRecord = 64;
// Point sources of the typical discharge: a wobbling vertical channel 2 units per step.
constexpr int32_t kChannelSources = 400;

// A small fixed generator so that every run measures the same data.
struct Lcg {
    uint32_t s = 12345;
    uint32_t next() { return s = s * 1664525u + 1013904223u; }
    float unit() { return static_cast<float>(next() >> 8) / 16777216.0f; }
};

// The cloud record with its coarse grid sized and its box placed 40 units above the ground.
inline CloudGrid make_cloud() {
    CloudGrid c;
    c.grd_numx = kFineX;
    c.grd_numy = kFineY;
    c.grd_numz = kFineZ;
    c.grd_size = 1.0f;
    c.grd_origin = Vec3{-64.0f, -64.0f, 40.0f};
    c.dscl = kDscl;
    c.dcl_numx = kFineX / kDscl;
    c.dcl_numy = kFineY / kDscl;
    c.dcl_numz = kFineZ / kDscl;
    c.dcl_size = static_cast<float>(kDscl) * c.grd_size;
    c.dcl_dir_light.assign(static_cast<size_t>(c.dcl_numx) * c.dcl_numy * c.dcl_numz * kDirCount, Vec3{});
    c.gamma_inv = 1.0f / 2.2f;
    c.light_scale = 255.0f / std::pow(255.0f, c.gamma_inv);
    c.cloud_box = {-64.0f, -64.0f, 40.0f, 64.0f, 64.0f, 104.0f};
    return c;
}

inline LightningSettings make_lightning() {
    LightningSettings s;
    s.discharge_box_low = Vec3{-100.0f, -100.0f, 0.0f};
    s.discharge_box_high = Vec3{100.0f, 100.0f, 104.0f};
    return s;
}

// A table with kCoefficientsPerRecord coefficients per record, low positions favoured as in a real
// compressed response (the coarse levels carry most of the energy).
inline BaseIntensityTable make_table(const LightningGrid& grid, const CloudGrid& cloud) {
    BaseIntensityTable t;
    t.cell_count = lightning_cell_count(grid);
    t.coarse_count = cloud.dcl_numx * cloud.dcl_numy * cloud.dcl_numz;
    t.dir_count = kDirCount;
    const size_t records = static_cast<size_t>(t.cell_count) * kDirCount;
    t.start.resize(records + 1);
    t.trailing.assign(records, 0.0f);
    t.index.reserve(records * kCoefficientsPerRecord);
    t.value.reserve(records * kCoefficientsPerRecord);
    Lcg r;
    for (size_t rec = 0; rec < records; ++rec) {
        t.start[rec] = static_cast<int64_t>(t.index.size());
        for (int32_t k = 0; k < kCoefficientsPerRecord; ++k) {
            const float u = r.unit();
            t.index.push_back(static_cast<int32_t>(u * u * u * static_cast<float>(t.coarse_count - 1)));
            t.value.push_back((r.unit() - 0.3f) * 2e9f);
        }
    }
    t.start[records] = static_cast<int64_t>(t.index.size());
    t.loaded = true;
    return t;
}

// A vertical channel from the cloud base to the ground with a little sideways wander.
inline void make_discharge(std::vector<Vec3>& pos, std::vector<Vec3>& intensity) {
    Lcg r;
    Vec3 p{5.0f, -8.0f, 40.0f};
    for (int32_t i = 0; i < kChannelSources; ++i) {
        pos.push_back(p);
        intensity.push_back(Vec3{1.0f, 0.9f, 1.2f});
        p = Vec3{p.x + (r.unit() - 0.5f), p.y + (r.unit() - 0.5f), p.z - 0.1f - 0.2f * r.unit()};
    }
}

}  // namespace bench
