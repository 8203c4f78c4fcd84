// exposure.cpp -- the exposure written into a physical scene
#include "tools/bake/table/exposure.h"

#include <algorithm>
#include <cmath>

#include "lightning/lightning_grid.h"
#include "tools/bake/table/table_bake.h"

namespace {

// The viewer's relight divides the table's sums by this much.
constexpr double kViewerDivisor = 1e9;
constexpr double kPiDouble = 3.14159265358979;

}  // namespace

double physical_exposure(double table_scale, const Scene& scene) {
    const LightningSettings& l = scene.lightning;
    const double cell_width = std::min((l.discharge_box_high.x - l.discharge_box_low.x) / kLgridNx,
                                       (l.discharge_box_high.y - l.discharge_box_low.y) / kLgridNy);
    double power = 0.0;
    for (const auto& cell : reference_strike_cells(scene)) power += cell.second;
    const Vec3 e = scene.lightning.emission_colour, c = scene.lightning.channel_colour;
    const double sum = e.x * c.x + e.y * c.y + e.z * c.z;
    const double share = sum > 0.0 ? std::max({e.x * c.x, e.y * c.y, e.z * c.z}) / sum : 1.0;
    const double d = kWhiteDistanceCells * cell_width;
    const double albedo = scene.cloud.optical[1];
    if (!(power > 0.0) || !(d > 0.0) || !(table_scale > 0.0) || !(albedo > 0.0)) return 1.0;
    const double white_j =
        share * power / (16.0 * kPiDouble * kPiDouble * d * d) * table_scale / kViewerDivisor;
    return 1.0 / (albedo * white_j);
}
