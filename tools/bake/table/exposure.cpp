// exposure.cpp -- the exposure written into a physical scene
#include "tools/bake/table/exposure.h"

#include "lightning/lightning_grid.h"
#include "lightning/reference_strike.h"

namespace {

// The viewer's relight divides the table's sums by this much.
constexpr double kViewerDivisor = 1e9;

}  // namespace

double physical_exposure(double table_scale, const Scene& scene) {
    LightningGrid grid;
    setup_lightning_grid(grid, scene.lightning, scene.cloud);
    const double white_j = white_radiance(grid, scene) * table_scale / kViewerDivisor;
    const double albedo = scene.cloud.optical[1];
    if (!(white_j > 0.0) || !(albedo > 0.0)) return 1.0;
    return 1.0 / (albedo * white_j);
}
