// in_scattering.h -- turning the relit table field into in-scattered radiance per unit scattering
#pragma once

#include <cstdint>
#include <vector>

#include "scene/scene.h"

// What physical shading needs besides the relit field, made once per cloud: 1 / sigma_s of every coarse
// cell (0 where the cell is empty) and, for the empty cells touching the cloud, the non-empty neighbours
// whose mean fills them, so that a lookup between a cloud cell and an empty one does not blend towards 0.
struct InScattering {
    std::vector<float> inv_sigma_s;   // per coarse cell, 1 / (albedo * extinction * mean density)
    std::vector<int32_t> fill_cell;   // empty cells to fill
    std::vector<int32_t> fill_start;  // fill_cell.size() + 1 offsets into fill_from
    std::vector<int32_t> fill_from;   // their non-empty neighbours (of the 26 around each)
    uint64_t made_for = 0;            // fingerprint of the cloud it was made for; 0: never made
};

// sigma_s of every coarse cell of the cloud's coarse grid: albedo x extinction x the mean fine density of
// its dscl^3 block, the same coarse medium the tables were baked in.
std::vector<float> coarse_scattering(const CloudGrid& cloud);
// Makes `s` for the cloud unless it was already made for it.
void prepare_in_scattering(InScattering& s, const CloudGrid& cloud);
// Gives every listed empty cell, in each direction, the mean of its neighbours' values.
void fill_empty_cells(const InScattering& s, Vec3* light);
