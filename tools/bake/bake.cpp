// bake.cpp -- baking the whole demo scene folder
#include "tools/bake/bake.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "illumination/directions.h"
#include "lightning/lightning_grid.h"
#include "scene/scene.h"
#include "scene/scene_file.h"
#include "tools/bake/byte_writer.h"
#include "tools/bake/parallel.h"
#include "tools/bake/scene_writer.h"
#include "tools/bake/sounds.h"
#include "tools/bake/storm_cloud.h"
#include "tools/bake/town.h"

namespace {

// World layout of the demo, in scene units: the cloud box is 128 units wide whatever
// the grid resolution, its flat base 30 units above the ground.
constexpr float kCloudWidth = 128.0f;
constexpr float kCloudBase = 30.0f;
constexpr float kEyeDistance = 150.0f;
constexpr float kEyeAzimuth = -0.95f;    // radians: the eye is south-east of the storm
constexpr float kViewElevation = 0.35f;  // radians above the horizon
constexpr double kThunderSeconds = 8.0;
constexpr double kRainSeconds = 6.0;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Writer {
    std::string dir;
    BakeReport& report;
    std::string error;
    bool put(const std::string& name, const std::vector<uint8_t>& bytes) {
        if (!error.empty()) return false;
        if (!write_file_bytes(dir + "/" + name, bytes)) {
            error = "cannot write " + dir + "/" + name;
            return false;
        }
        report.files.push_back({name, bytes.size()});
        return true;
    }
    bool put_text(const std::string& name, const std::string& text) {
        return put(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
};

DemoLayout demo_layout(const BakeOptions& o) {
    DemoLayout l;
    l.grid_nx = o.grid_nx;
    l.grid_ny = o.grid_ny;
    l.grid_nz = o.grid_nz;
    l.cell_size = kCloudWidth / static_cast<float>(o.grid_nx);
    l.box_low[0] = -0.5f * l.cell_size * o.grid_nx;
    l.box_low[1] = -0.5f * l.cell_size * o.grid_ny;
    l.box_low[2] = kCloudBase;
    l.dscl = o.dscl;
    l.lightning_seed = static_cast<int32_t>(o.seed % 30000u) + 1;
    l.sky_dome = o.sky_dome;
    // The camera stands in town, a few units above the ground, looking up at the storm
    // from kEyeDistance away (horizontally, from the storm's axis), the middle of the
    // view kViewElevation above the horizon. The field of view takes in the anvil and
    // the underside of the base, where a click starts a strike under the cloud.
    const float eye_height = 3.0f;
    const float view_rise = std::tan(kViewElevation);
    l.target[0] = 0.0f;
    l.target[1] = 0.0f;
    l.target[2] = eye_height + kEyeDistance * view_rise;
    l.distance =
        std::sqrt(kEyeDistance * kEyeDistance + (l.target[2] - eye_height) * (l.target[2] - eye_height));
    l.azimuth = kEyeAzimuth;
    l.elevation = -kViewElevation;
    l.fovy = 60.0f;
    l.object_files = {"ground.obj", "town_centre.obj", "town_edge.obj"};
    return l;
}

// Weights of a reference strike per lightning cell: a straight vertical channel from
// the cloud base at the middle of the domain down to the ground, each cell weighted
// by the channel length inside it times the summed channel colours, which is what the
// viewer's binning gives such a channel on average.
std::vector<std::pair<int32_t, double>> reference_strike(const LightningGrid& g, const LightningSettings& s,
                                                         float base_z) {
    const float x = 0.5f * (g.box_low.x + g.box_high.x), y = 0.5f * (g.box_low.y + g.box_high.y);
    const int32_t ix = std::clamp(static_cast<int32_t>((x - g.box_low.x) / g.cell_dx), 0, g.lgrid_nx - 1);
    const int32_t iy = std::clamp(static_cast<int32_t>((y - g.box_low.y) / g.cell_dy), 0, g.lgrid_ny - 1);
    const double per_length = s.emission_colour.x * s.channel_colour.x +
                              s.emission_colour.y * s.channel_colour.y +
                              s.emission_colour.z * s.channel_colour.z;
    std::vector<std::pair<int32_t, double>> cells;
    for (int32_t iz = 0; iz < g.lgrid_nz; ++iz) {
        const double lo = std::max(0.0, static_cast<double>(g.lgrid_z[iz]));
        const double hi = std::min(static_cast<double>(base_z), static_cast<double>(g.lgrid_z[iz + 1]));
        if (hi > lo) cells.push_back({(iz * g.lgrid_ny + iy) * g.lgrid_nx + ix, (hi - lo) * per_length});
    }
    return cells;
}

void print_progress(const BakeOptions& o, const char* fmt, double value) {
    if (o.quiet) return;
    std::printf(fmt, value);
    std::fflush(stdout);
}

}  // namespace

std::string read_baked_scene(const std::string& dir, Scene& scene) {
    std::error_code ec;
    const auto here = std::filesystem::current_path(ec);
    std::filesystem::current_path(dir, ec);
    if (ec) return "cannot enter " + dir;
    reset_scene(scene);
    read_scene_file("test.dat", scene);
    std::filesystem::current_path(here, ec);
    return "";
}

double table_scale_for_peak(double raw_peak, double colour_share, float gamma_inv, float light_scale,
                            double peak) {
    if (raw_peak <= 0.0 || colour_share <= 0.0 || gamma_inv <= 0.0f || light_scale <= 0.0f) return 1.0;
    // peak = (share * u)^gamma_inv * light_scale  =>  u = (peak / light_scale)^(1/gamma_inv) / share
    const double u = std::pow(peak / light_scale, 1.0 / gamma_inv) / colour_share;
    return u * 1e9 / raw_peak;
}

std::string run_bake(const BakeOptions& o, BakeReport& report) {
    const auto t0 = Clock::now();
    report = BakeReport{};
    std::error_code ec;
    std::filesystem::create_directories(o.out_dir, ec);
    if (!std::filesystem::is_directory(o.out_dir)) return "cannot create " + o.out_dir;
    Writer w{o.out_dir, report, ""};
    const DemoLayout layout = demo_layout(o);
    const int workers = o.threads > 0 ? o.threads : default_worker_count();

    // Everything the scene file names must exist before the viewer's reader sees it.
    const CloudBytes cloud = make_storm_cloud(o.grid_nx, o.grid_ny, o.grid_nz, o.seed, workers);
    w.put(layout.grid_file, grid_file_bytes(cloud));
    print_progress(o, "  cloud grid done (%.1f s)\n", seconds_since(t0));
    w.put_text("ground.obj", ground_object_text(800.0f, 100.0f));
    // Tall blocks between the camera and the storm, low houses round the camera.
    w.put_text("town_centre.obj",
               buildings_object_text(o.seed, 12, 18.0f, 5.0f, 17.0f, 30.0f, -45.0f, 23.0f));
    w.put_text("town_edge.obj",
               buildings_object_text(o.seed + 1u, 18, 26.0f, 2.0f, 5.0f, 45.0f, -80.0f, 23.0f));
    w.put(layout.texture_file,
          bmp_file_bytes(kGroundTextureSize, kGroundTextureSize, ground_texture_rgb(o.seed)));
    w.put(layout.thunder_file, wave_file_bytes(synthesise_thunder(kThunderSeconds, o.seed)));
    w.put(layout.rain_file, wave_file_bytes(synthesise_rain(kRainSeconds, o.seed)));
    w.put_text("colours.txt", colour_file_text());
    w.put("view.dat", view_file_bytes(layout, 10));
    w.put_text("test.dat", scene_file_text(layout));
    if (!w.error.empty()) return w.error;
    print_progress(o, "  scene, objects and sounds done (%.1f s)\n", seconds_since(t0));

    Scene scene;
    const std::string err = read_baked_scene(o.out_dir, scene);
    if (!err.empty()) return err;
    const CloudGrid& grid = scene.cloud;
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene.lightning, grid);
    if (!lightning_grid_usable(lgrid)) return "the lightning grid of the baked scene has no layers";

    const CoarseCloud coarse = make_coarse_cloud(grid.grd_density, grid.grd_numx, grid.grd_numy,
                                                 grid.grd_numz, grid.dscl, grid.grd_size, grid.optical[0]);
    if (coarse.nx != grid.dcl_numx || coarse.ny != grid.dcl_numy || coarse.nz != grid.dcl_numz) {
        return "the viewer's coarse grid differs from the bake's";
    }
    report.coarse_cells = coarse.count();
    w.put("genk.tbl", genk_file_bytes(coarse, workers, !o.quiet));
    if (!w.error.empty()) return w.error;
    print_progress(o, "  genk.tbl done (%.1f s)\n", seconds_since(t0));

    ScatterModel model;
    model.albedo = grid.optical[1];
    model.phase_g = grid.optical[2];
    std::vector<Point3> directions;
    for (int32_t d = 0; d < kDirCount; ++d) {
        const Vec3 v = direction_vector(d);
        directions.push_back({v.x, v.y, v.z});
    }
    const int32_t cells = lightning_cell_count(lgrid);
    report.lightning_cells = cells;
    std::vector<Point3> sources(static_cast<size_t>(cells));
    for (int32_t iz = 0; iz < lgrid.lgrid_nz; ++iz) {
        for (int32_t iy = 0; iy < lgrid.lgrid_ny; ++iy) {
            for (int32_t ix = 0; ix < lgrid.lgrid_nx; ++ix) {
                const double x = lgrid.box_low.x + (ix + 0.5) * lgrid.cell_dx;
                const double y = lgrid.box_low.y + (iy + 0.5) * lgrid.cell_dy;
                const double z = 0.5 * (static_cast<double>(lgrid.lgrid_z[iz]) + lgrid.lgrid_z[iz + 1]);
                sources[(iz * lgrid.lgrid_ny + iy) * lgrid.lgrid_nx + ix] = {
                    x - grid.grd_origin.x, y - grid.grd_origin.y, z - grid.grd_origin.z};
            }
        }
    }

    // The table's scale comes from the data: the reference strike's brightest cell and
    // direction must come out at kReferencePeak through the viewer's own mapping.
    const size_t m = static_cast<size_t>(coarse.count());
    std::vector<double> raw(m * directions.size(), 0.0), one;
    for (const auto& [cell, weight] : reference_strike(lgrid, scene.lightning, grid.grd_origin.z)) {
        direct_response(coarse, model, directions, sources[static_cast<size_t>(cell)], one);
        for (size_t i = 0; i < raw.size(); ++i) raw[i] += weight * one[i];
    }
    const double raw_peak = *std::max_element(raw.begin(), raw.end());
    const Vec3 e = scene.lightning.emission_colour, c = scene.lightning.channel_colour;
    const double sum = e.x * c.x + e.y * c.y + e.z * c.z;
    const double share = sum > 0.0 ? std::max({e.x * c.x, e.y * c.y, e.z * c.z}) / sum : 1.0;
    report.table_scale =
        table_scale_for_peak(raw_peak, share, grid.gamma_inv, grid.light_scale, kReferencePeak);

    w.put("basic_intensity_cmp.dat",
          base_intensity_file_bytes(coarse, model, directions, sources, o.coeffs, report.table_scale, workers,
                                    !o.quiet, &report.kept_energy));
    if (!w.error.empty()) return w.error;
    report.seconds = seconds_since(t0);
    return "";
}
