// bake.cpp -- baking the whole demo scene folder
#include "tools/bake/bake.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "illumination/ambient_light.h"
#include "tools/bake/byte_writer.h"
#include "tools/bake/demo/storm_cloud.h"
#include "tools/bake/demo/town.h"
#include "tools/bake/parallel.h"
#include "tools/bake/scene_writer.h"
#include "tools/bake/sounds.h"
#include "tools/bake/table/exposure.h"
#include "tools/bake/table/shards.h"

namespace {

// World layout of the demo, in scene units: the cloud box is 128 units wide whatever
// the grid resolution, its flat base 30 units above the ground.
constexpr float kCloudWidth = 128.0f;
// The demo storm is 8 km across, which sets the scale its thunder is made at.
constexpr float kCloudWidthMetres = 8000.0f;
constexpr float kCloudBase = 30.0f;
constexpr float kEyeDistance = 150.0f;
constexpr float kEyeAzimuth = -0.95f;    // radians: the eye is south-east of the storm
constexpr float kViewElevation = 0.35f;  // radians above the horizon
constexpr double kThunderSeconds = 8.0;
// Cloud optics: droplets scatter almost without loss and strongly forwards; the extinction gives
// the storm's core an optical depth of about 25 bottom to top and across, so light from the
// channel is scattered dozens of times before it leaves and the whole tower glows.
constexpr float kDemoExtinction = 0.6f;  // per scene unit at density 1
constexpr float kDemoAlbedo = 0.999f;
constexpr float kDemoAsymmetry = 0.85f;
constexpr double kRainSeconds = 6.0;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

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
    l.extinction = kDemoExtinction;
    l.albedo = kDemoAlbedo;
    l.phase_g = kDemoAsymmetry;
    // A cube-root mapping lifts the dim glow that multiple scattering carries up into the anvil,
    // a hundredth of the brightest light still shows at a fifth of its brightness.
    l.light_gamma = 3.0f;
    l.lightning_seed = static_cast<int32_t>(o.seed % 30000u) + 1;
    l.sky_dome = o.sky_dome;
    l.thunder_metres_per_unit = kCloudWidthMetres / kCloudWidth;
    l.flash_strokes = o.flash_strokes;
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

void print_progress(const BakeOptions& o, const char* fmt, double value) {
    if (o.quiet) return;
    std::printf(fmt, value);
    std::fflush(stdout);
}

}  // namespace

bool SceneFiles::put(const std::string& name, const std::vector<uint8_t>& bytes) {
    if (!error.empty()) return false;
    if (!write_file_bytes(dir + "/" + name, bytes)) {
        error = "cannot write " + dir + "/" + name;
        return false;
    }
    report.files.push_back({name, bytes.size()});
    return true;
}

bool SceneFiles::put_text(const std::string& name, const std::string& text) {
    return put(name, std::vector<uint8_t>(text.begin(), text.end()));
}

void put_shared_assets(SceneFiles& files, const DemoLayout& layout, uint32_t seed) {
    files.put(layout.texture_file,
              bmp_file_bytes(kGroundTextureSize, kGroundTextureSize, ground_texture_rgb(seed)));
    files.put(layout.thunder_file, wave_file_bytes(synthesise_thunder(kThunderSeconds, seed)));
    files.put(layout.rain_file, wave_file_bytes(synthesise_rain(kRainSeconds, seed)));
    files.put_text("colours.txt", colour_file_text());
}

std::string bake_folder_tables(const std::string& dir, const std::string& extra, const TableOptions& options,
                               BakeReport& report) {
    Scene scene;
    std::string err = read_scene_folder(dir, extra, scene);
    if (err.empty()) err = bake_scene_tables(dir, scene, options, report.tables);
    if (!err.empty()) return err;
    // Files inside the folder are named as the demo's other files are; a shard written elsewhere keeps
    // its path.
    std::string name = report.tables.table_file;
    if (name.rfind(dir + "/", 0) == 0) name = name.substr(dir.size() + 1);
    report.files.push_back({name, report.tables.table_bytes});
    if (report.tables.genk_written) report.files.push_back({"genk.tbl", report.tables.genk_bytes});
    if (report.tables.ambient_written)
        report.files.push_back({kAmbientFileName, report.tables.ambient_bytes});
    return "";
}

std::string bake_physical_scene(SceneFiles& files, DemoLayout layout, const TableOptions& options) {
    TableOptions physical = options;
    physical.physical_display = true;
    std::string err = bake_folder_tables(files.dir, "", physical, files.report);
    if (!err.empty()) return err;
    Scene scene;
    err = read_scene_folder(files.dir, "", scene);
    if (!err.empty()) return err;
    layout.exposure = static_cast<float>(physical_exposure(files.report.tables.table_scale, scene));
    const std::string text = scene_file_text(layout);
    if (!write_file_bytes(files.dir + "/test.dat", std::vector<uint8_t>(text.begin(), text.end())))
        return "cannot write " + files.dir + "/test.dat";
    for (BakedFile& f : files.report.files)
        if (f.name == "test.dat") f.bytes = text.size();
    return "";
}

std::string run_bake(const BakeOptions& o, BakeReport& report) {
    const auto t0 = Clock::now();
    report = BakeReport{};
    const TableOptions table = table_options(o);
    if (!o.merge_out.empty()) {
        MergeReport merged;
        const std::string err = merge_shards(o.merge_out, o.merge_files, o.quiet, merged);
        if (!err.empty()) return err;
        report.files.push_back({o.merge_out, merged.bytes});
        report.seconds = seconds_since(t0);
        return "";
    }
    if (o.tables_only) {
        const std::string err = bake_folder_tables(o.out_dir, o.scene_file, table, report);
        if (!err.empty()) return err;
        report.seconds = seconds_since(t0);
        return "";
    }
    std::error_code ec;
    std::filesystem::create_directories(o.out_dir, ec);
    if (!std::filesystem::is_directory(o.out_dir)) return "cannot create " + o.out_dir;
    SceneFiles w{o.out_dir, report, ""};
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
    put_shared_assets(w, layout, o.seed);
    w.put("view.dat", view_file_bytes(layout, 10));
    w.put_text("test.dat", scene_file_text(layout));
    if (!w.error.empty()) return w.error;
    print_progress(o, "  scene, objects and sounds done (%.1f s)\n", seconds_since(t0));

    // The tables come from the scene as the viewer reads it, through the same code as -tables.
    const std::string err = bake_physical_scene(w, layout, table);
    if (!err.empty()) return err;
    report.seconds = seconds_since(t0);
    return "";
}
