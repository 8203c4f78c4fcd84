// cloud_import.h -- a storm scene round a user's cloud: resampling, optics, placement and the scene folder
#pragma once

#include <cstdint>
#include <string>

#include "tools/bake/bake.h"
#include "tools/bake/bake_options.h"
#include "tools/bake/demo/storm_cloud.h"
#include "tools/bake/scene_writer.h"

// Fine cells along the cloud's longest side unless -cells-across says otherwise.
constexpr int32_t kDefaultCellsAcross = 128;
// Scene units along the cloud's longest side: the size the lightning, glow, fog and town are made for.
constexpr float kCloudSpanUnits = 128.0f;
// Extinction of a cumulus core per metre (liquid water about 0.3 g/m^3 in droplets of 10 micrometres:
// a mean free path of 20 m).
constexpr double kCumulusExtinction = 0.05;
// Largest optical depth given to a cloud's core: past about 20 the glow's shape hardly changes, while the
// bake's scatterings per walk grow with the square of the depth.
constexpr double kMaxCoreDepth = 40.0;
// Height taken for a grid file, which carries no unit, when -height is not given; also for a VDB
// whose height taken as metres lies outside kMinCloudMetres .. kMaxCloudMetres, no cloud's height.
constexpr double kAssumedGridHeight = 8000.0;
constexpr double kMinCloudMetres = 100.0;
constexpr double kMaxCloudMetres = 20000.0;
// The viewer's default window, which the placement frames.
constexpr int32_t kViewerWindow = 480;

// A user's cloud resampled into a grid file, with the numbers the scene and the report need.
struct ImportedCloud {
    CloudBytes cloud;                   // power-of-two sizes, byte scale kCloudByteScale
    std::string source_kind;            // "OpenVDB" or "grid file"
    std::string grid_name;              // the VDB grid used (empty for a grid file)
    double source_size[3] = {0, 0, 0};  // the cloud's extent in the file's own units
    double metres_per_source_unit = 1.0;
    double metres_per_unit = 1.0;          // size of one scene unit
    double cloud_cells[3] = {0, 0, 0};     // the cloud's extent in fine cells (the rest of the grid is empty)
    double density_per_byte = 0.0;         // source density of one byte step
    int32_t supersamples[3] = {1, 1, 1};   // samples per fine cell along each axis
    int64_t clipped = 0;                   // cells whose density lay above byte 255
    int64_t non_finite = 0, negative = 0;  // source values set to 0
    double core_depth = 0.0;               // optical depth aimed for through the densest column
    float extinction = 0.0f;               // per scene unit at density 1
    std::string warnings;                  // lines for standard output, each ending in a newline
};

// Where the cloud appears in the viewer's default window (pixels, top-left origin), and a pixel whose
// click strikes from the cloud base under the cloud's middle.
struct ScreenBox {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int32_t strike_x = 0, strike_y = 0;
    bool inside = false;  // every corner of the box lies in the window
};

// Reads o.cloud_file (an OpenVDB file or a grid file) and resamples it as the options ask. Returns an
// empty string, or the message for a file that cannot be used or a cloud too large for memory.
std::string import_cloud(const BakeOptions& o, ImportedCloud& out);

// The scene round an imported cloud: the grid box centred over the origin with its base above the
// ground, optics, and a camera in town that sees the whole cloud from below and to the side.
DemoLayout cloud_layout(const ImportedCloud& imported, const BakeOptions& o);

// The world box of the cloud itself inside the layout's grid box (the grid's padding left out).
void cloud_world_box(const ImportedCloud& imported, const DemoLayout& layout, float low[3], float high[3]);

// The world box low..high as the layout's camera shows it in the viewer's win x win window.
ScreenBox cloud_screen_box(const DemoLayout& layout, const float low[3], const float high[3], int32_t win);

// -cloud: writes the scene folder round the user's cloud and bakes its tables, all into DIR.partial,
// renamed to DIR when complete (an earlier -cloud scene there is replaced; any other non-empty folder is
// refused). Returns an empty string or the message to print.
std::string run_cloud_bake(const BakeOptions& o, BakeReport& report);

// -export-vdb: writes the cloud of the scene in o.out_dir as an OpenVDB fog volume to o.export_file.
std::string run_vdb_export(const BakeOptions& o, BakeReport& report);
