// reference_strike.cpp -- the scene's reference strike and the light that display white stands for
#include "lightning/reference_strike.h"

#include <algorithm>

namespace {

constexpr double kPiDouble = 3.14159265358979;

}  // namespace

std::vector<std::pair<int32_t, double>> reference_strike_cells(const LightningGrid& g, const Scene& scene) {
    std::vector<std::pair<int32_t, double>> cells;
    if (!lightning_grid_usable(g)) return cells;
    const LightningSettings& s = scene.lightning;
    const float base_z = scene.cloud.grd_origin.z;
    const float x = 0.5f * (g.box_low.x + g.box_high.x), y = 0.5f * (g.box_low.y + g.box_high.y);
    const int32_t ix = std::clamp(static_cast<int32_t>((x - g.box_low.x) / g.cell_dx), 0, g.lgrid_nx - 1);
    const int32_t iy = std::clamp(static_cast<int32_t>((y - g.box_low.y) / g.cell_dy), 0, g.lgrid_ny - 1);
    const double per_length = s.emission_colour.x * s.channel_colour.x +
                              s.emission_colour.y * s.channel_colour.y +
                              s.emission_colour.z * s.channel_colour.z;
    for (int32_t iz = 0; iz < g.lgrid_nz; ++iz) {
        const double lo = std::max(0.0, static_cast<double>(g.lgrid_z[iz]));
        const double hi = std::min(static_cast<double>(base_z), static_cast<double>(g.lgrid_z[iz + 1]));
        if (hi > lo) cells.push_back({(iz * g.lgrid_ny + iy) * g.lgrid_nx + ix, (hi - lo) * per_length});
    }
    return cells;
}

std::vector<std::pair<int32_t, double>> reference_strike_cells(const Scene& scene) {
    LightningGrid g;
    setup_lightning_grid(g, scene.lightning, scene.cloud);
    return reference_strike_cells(g, scene);
}

double white_radiance(const LightningGrid& grid, const Scene& scene) {
    const LightningSettings& l = scene.lightning;
    // In double from the domain itself, not the grid's float widths: the exposure written into a scene
    // must not move with the grid's rounding.
    const double cell_width = std::min((l.discharge_box_high.x - l.discharge_box_low.x) / kLgridNx,
                                       (l.discharge_box_high.y - l.discharge_box_low.y) / kLgridNy);
    double power = 0.0;
    for (const auto& cell : reference_strike_cells(grid, scene)) power += cell.second;
    const Vec3 e = l.emission_colour, c = l.channel_colour;
    const double sum = e.x * c.x + e.y * c.y + e.z * c.z;
    const double share = sum > 0.0 ? std::max({e.x * c.x, e.y * c.y, e.z * c.z}) / sum : 1.0;
    const double d = kWhiteDistanceCells * cell_width;
    if (!(power > 0.0) || !(d > 0.0)) return 0.0;
    return share * power / (16.0 * kPiDouble * kPiDouble * d * d);
}
