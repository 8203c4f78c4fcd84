// vdb_io.h -- reading a density grid from an OpenVDB file and writing a cloud as one
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The loaded grid; only vdb_io.cpp knows its type, so OpenVDB's headers stay in one file.
struct VdbGridHandle;

// Largest share of the density's mass that a cloud's box leaves out along an axis: runs of layers at the
// ends, apart from the rest by empty layers (strays far from the cloud).
constexpr double kStrayMassCut = 1e-3;

// A float density grid read from a VDB file, with what the import needs to know about it.
struct VdbDensity {
    std::string grid_name;           // the grid used
    std::vector<std::string> grids;  // every grid of the file as "name (type)", in file order
    // World box (file units), whole voxels, of the density's main body: voxels apart from it by empty
    // layers and holding together at most kStrayMassCut of the mass along an axis are left out, so a few
    // stray voxels far off do not stretch the box (and shrink the cloud).
    double world_low[3] = {0, 0, 0};
    double world_high[3] = {0, 0, 0};
    bool box_trimmed = false;          // the box leaves out active voxels with density (far-off strays)
    double voxel_size[3] = {0, 0, 0};  // world size of one voxel along each axis
    int64_t active_voxels = 0;
    int64_t non_finite = 0;  // active values that were NaN or infinite, now 0
    int64_t negative = 0;    // active values below 0, now 0
    float max_value = 0.0f;  // largest density after the clamping
    // Set when the file was written by write_vdb_density: the byte step of the grid it came from and the
    // full grid size, so a re-import can rebuild that grid byte for byte.
    float byte_step = 0.0f;
    int32_t grid_size[3] = {0, 0, 0};
    std::shared_ptr<const VdbGridHandle> grid;
};

// Density at a world point (file units), trilinear between voxel centres, 0 outside the active voxels.
using DensitySampler = std::function<float(double x, double y, double z)>;

// Reads `path` and picks the grid: `wanted` when not empty, else the float grid named "density", else the
// first float grid. Negative and non-finite densities become 0 and are counted. The memory the grid
// takes once loaded is checked before its voxels are: from the size the writer recorded, and from the
// grid's leaf count read ahead of the voxel data (compressed or tiled grids expand far beyond their file).
// Returns an empty string, or why the file cannot be used (not a VDB file, damaged or truncated, no float
// grid, the named grid missing or not a float grid, an empty grid, no density above 0, too large for
// this machine).
std::string read_vdb_density(const std::string& path, const std::string& wanted, VdbDensity& out);

// A sampler of the grid; each thread needs its own (it caches the tree nodes it last visited).
DensitySampler vdb_density_sampler(const VdbDensity& density);

// Writes a float grid named `name` with the nx x ny x nz densities (x fastest) as voxels of edge
// `cell_size` whose low corner sits at `low` (world), zeros left inactive, and the byte step and grid
// size as grid metadata. Returns an empty string or why the file could not be written; the file is
// written under a temporary name and renamed when whole.
std::string write_vdb_density(const std::string& path, const std::string& name, const int32_t size[3],
                              const std::vector<float>& density, double cell_size, const double low[3],
                              float byte_step);
