// cloud.h -- the cloud section: grid file, densities, blobs, coarse grid, placement
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "scene/scene.h"

// Most cells a grid file may declare: its cell count must fit a 32-bit index.
constexpr int64_t kMaxGridCells = INT32_MAX;

// Cloud section: grid file name and threshold, cell size and origin, optical values
// (stored), splat values, dscl, brightness and gamma. Reads the grid file, builds the
// densities, the blob list and the coarse grid, centres the grid and sets cloud_box.
// A missing or damaged grid file, or a dscl below 1, is a fatal input error.
void read_cloud_section(FILE* in, Scene& scene);

// Reads a grid file (three int32 sizes, a float byte scale, one byte per cell) into
// grid's sizes, byte scale and bytes. 1 after a complete read, 0 when the file cannot
// be opened; a damaged file (short, sizes not positive, too many cells, length not
// matching the sizes) is a fatal input error.
int read_grid_file(const std::string& name, CloudGrid& grid);
