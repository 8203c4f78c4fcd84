// lightning_grid.h -- binning point sources into the lightning grid and relighting the cloud from the table
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "illumination/ambient_light.h"
#include "illumination/tables.h"
#include "scene/scene.h"
#include "support/vec3.h"

// Columns of the lightning grid along x and y.
constexpr int32_t kLgridNx = 20;
constexpr int32_t kLgridNy = 20;
// Only every kBinStride-th point source is binned; each binned one weighs kBinStride.
constexpr int32_t kBinStride = 20;
// Most layers a scene may need; a taller domain is treated like one without layers.
constexpr int32_t kMaxLightningLayers = 4096;

// The lightning grid: 20 x 20 columns over the discharge domain and lgrid_nz layers up to its top.
// Cell (ix, iy, iz) has index (iz * lgrid_ny + iy) * lgrid_nx + ix.
struct LightningGrid {
    int32_t lgrid_nx = kLgridNx, lgrid_ny = kLgridNy;
    int32_t lgrid_nz = 0;        // -1 when no layer fits; 0 before set-up
    std::vector<float> lgrid_z;  // lgrid_nz + 1 ascending boundaries
    std::array<std::vector<float>, 3>
        lgrid_light;                       // R, G, B per cell; after binning the first holds R + G + B
    Vec3 box_low, box_high;                // the discharge domain
    float cell_dx = 0.0f, cell_dy = 0.0f;  // column widths
    float cloud_base = 0.0f;               // lowest z of the cloud box
    // Bin every source with its own weight where it is (tables baked for physical shading); otherwise
    // every kBinStride-th source weighs kBinStride.
    bool bin_every_source = false;
};

// Lightning cells N_L = nx * ny * nz (negative or zero when the grid is unusable).
int32_t lightning_cell_count(const LightningGrid& grid);
// True when the grid has at least one layer and the relighting can run.
bool lightning_grid_usable(const LightningGrid& grid);
// Sizes the layers from the discharge domain and the cloud box; prints "lightning grids: ..." and, when no
// layer fits, says that the cloud cannot be lit by lightning.
void setup_lightning_grid(LightningGrid& grid, const LightningSettings& settings, const CloudGrid& cloud);
// Bins the sources into lgrid_light, clamping to the grid: every twentieth with weight 20, or with
// bin_every_source each with its own weight, a source on the cloud base going to the clear air below;
// then the first array becomes R + G + B. Returns the number of cells with a total above 0.
int32_t bin_point_sources(LightningGrid& grid, const Vec3* pos, const Vec3* intensity, int count);

// One inverse Haar level on a[0 ... m - 1] (m even): averages in the first half, details in the second;
// scratch holds at least m floats.
void haar_merge(float* a, int m, float* scratch);
// Inverse Haar transform of a[0 ... n - 1]: scale by sqrt(n), then merge levels 2, 4, ... up to n.
void inverse_haar_1d(float* a, int n, float* scratch);
// Inverse transform of an x-fastest grid: every x line, then every y line, then every z line.
void inverse_haar_3d(float* grid, int nx, int ny, int nz);
// The exact counterpart of haar_merge: splits pairs into an average half and a detail half.
void haar_split(float* a, int m, float* scratch);
// The exact counterpart of inverse_haar_1d (split levels n ... 2, then divide by sqrt(n)).
void forward_haar_1d(float* a, int n, float* scratch);
// The exact counterpart of inverse_haar_3d: z lines, then y lines, then x lines.
void forward_haar_3d(float* grid, int nx, int ny, int nz);

// Rebuilds dcl_dir_light from the point sources through the base intensity table (two threads). Without a
// usable grid, table or matching cloud it changes nothing. When no lightning cell is lit and the last result
// was all zeros it skips the work. Returns true when dcl_dir_light was rewritten.
bool light_cloud_from_lightning_grid(LightningGrid& grid, const BaseIntensityTable& table,
                                     IlluminationWork& work, CloudGrid& cloud, const Vec3* pos,
                                     const Vec3* intensity, int count);
// The relight of a physical scene with ambient light: the table's light goes into `lightning` (the
// relight's own field, kept apart so that it can be weighed against the ambient light) and
// dcl_dir_light becomes ambient + lightning. Without ambient light, or in a classic scene, it is
// light_cloud_from_lightning_grid. The first call sizes `lightning` and always writes dcl_dir_light, so
// the cloud shows its ambient light before any strike. Returns true when dcl_dir_light was rewritten.
bool relight_cloud_with_ambient(LightningGrid& grid, const BaseIntensityTable& table, IlluminationWork& work,
                                const AmbientLight& ambient, std::vector<Vec3>& lightning, CloudGrid& cloud,
                                const Vec3* pos, const Vec3* intensity, int count);
// The same result computed step by step on one thread, without shortcuts; the fast one is checked against it.
bool light_cloud_reference(LightningGrid& grid, const BaseIntensityTable& table, IlluminationWork& work,
                           CloudGrid& cloud, const Vec3* pos, const Vec3* intensity, int count);

// Loads the base intensity table for this lightning grid.
inline bool load_base_intensity(BaseIntensityTable& table, IlluminationWork& work, const CloudGrid& cloud,
                                const LightningGrid& grid, const std::string& name) {
    return load_base_intensity(table, work, cloud, grid.lgrid_nx, grid.lgrid_ny, grid.lgrid_nz, name);
}
