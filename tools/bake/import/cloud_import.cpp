// cloud_import.cpp -- a storm scene round a user's cloud: resampling, optics, placement and the scene folder
//
// Resampling: the cloud's box (the active voxels of a VDB grid, or a whole grid file) is covered by cubic
// cells, cells_across along its longest side; the other sides get the next power of two at or above their
// own length in cells, so the cloud keeps its aspect inside a grid padded with empty cells (centred
// across, resting on the grid's floor). Each fine cell is a box filter: the mean of s x s x s trilinear
// samples spread evenly over it, s the number of source voxels the cell spans along that axis (1 to 4).
//
// Bytes: the 99.9th percentile of the resampled densities above 0 becomes byte 255, so at most one cell in
// a thousand clips while the faint edges keep their steps; a file written by -export-vdb (or a grid file)
// keeps its own byte step instead, so a round trip keeps every byte. The grid file stores the bytes with
// the demo's byte scale (1/256: the splat renderer needs densities below 1); the cloud's real density
// lives in the extinction.
//
// Optics: albedo and g of the demo; the extinction makes the optical depth through the densest column,
// bottom to top, that of a cumulus of the cloud's height, kCumulusExtinction per metre, at most
// kMaxCoreDepth.
#include "tools/bake/import/cloud_import.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "support/file_limits.h"
#include "tools/bake/byte_writer.h"
#include "tools/bake/demo/town.h"
#include "tools/bake/import/vdb_io.h"
#include "tools/bake/parallel.h"
#include "tools/bake/sounds.h"
#include "tools/bake/table/table_bake.h"

namespace fs = std::filesystem;

namespace {

// The demo's optics, the light-transport defaults.
constexpr float kAlbedo = 0.999f;
constexpr float kAsymmetry = 0.85f;
constexpr double kClipPercentile = 0.999;
constexpr int32_t kMaxSupersamples = 4;
// Most cells along one side of a grid file taken as a cloud; larger sizes are no grid header.
constexpr int32_t kMaxGridSide = 1 << 16;
// Camera: a few units above the town, south-east of the storm, as in the demo; the cloud's grid box
// fills at most this share of the half-window on either axis.
constexpr float kEyeHeight = 3.0f;
constexpr float kEyeAzimuth = -0.95f;
constexpr float kFovy = 60.0f;
constexpr float kFrameShare = 0.92f;
// The base sits a quarter of the cloud's width above the ground, as in the demo, and never lower.
constexpr float kBaseShare = 0.25f;
constexpr float kMinBase = 10.0f;
constexpr int32_t kKeyViews = 8;
// Name of the note every -cloud folder holds; a folder with it may be replaced by a later -cloud.
constexpr const char* kSourceNote = "cloud_source.txt";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string megabytes(uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

int32_t next_power_of_two(double cells) {
    int32_t n = 1;
    while (n < cells - 1e-6 && n < (1 << 30)) n *= 2;
    return n;
}

// A source cloud as the resampler sees it: its world box and a sampler for each worker.
struct Source {
    double low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    double voxel[3] = {1, 1, 1};
    double byte_step = 0.0;     // > 0: keep this byte step (the file was quantised with it)
    int32_t native_across = 0;  // > 0: the grid's own cells along its longest side
    std::function<DensitySampler()> sampler;
};

bool has_vdb_magic(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char head[4] = {0, 0, 0, 0};
    const size_t got = std::fread(head, 1, 4, f);
    std::fclose(f);
    // The file starts with the int32 0x56444220 ("VDB " read as a little-endian number).
    return got == 4 && head[0] == 0x20 && head[1] == 0x42 && head[2] == 0x44 && head[3] == 0x56;
}

int32_t get_i32(const unsigned char* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// Our own grid file: sizes, byte scale and bytes, checked against the file's length.
std::string read_grid_source(const std::string& path, CloudBytes& grid) {
    FILE* f = open_input_file(path.c_str(), "rb");
    if (!f) return "cannot open " + path;
    unsigned char head[16];
    const bool whole_head = std::fread(head, 1, sizeof head, f) == sizeof head;
    const int64_t rest = remaining_bytes(f);
    const std::string not_either = path + " is neither an OpenVDB file nor a grid file";
    if (!whole_head) {
        std::fclose(f);
        return not_either + " (too short for a header)";
    }
    grid.nx = get_i32(head);
    grid.ny = get_i32(head + 4);
    grid.nz = get_i32(head + 8);
    std::memcpy(&grid.byte_scale, head + 12, 4);
    // Sizes beyond any grid's mean the file is something else (a text file's first letters read as
    // numbers): that is said plainly, without the numbers.
    if (grid.nx <= 0 || grid.ny <= 0 || grid.nz <= 0 || grid.nx > kMaxGridSide || grid.ny > kMaxGridSide ||
        grid.nz > kMaxGridSide || !std::isfinite(grid.byte_scale) || !(grid.byte_scale > 0.0f)) {
        std::fclose(f);
        return not_either + ": it starts neither with the OpenVDB mark nor with grid sizes and a byte scale";
    }
    const int64_t cells = size_product(grid.nx, grid.ny, grid.nz);
    if (rest != cells) {
        std::fclose(f);
        return not_either +
               format_text(" (a grid file of %d x %d x %d cells holds %lld bytes of cells, this one %lld)",
                           grid.nx, grid.ny, grid.nz, static_cast<long long>(cells),
                           static_cast<long long>(rest));
    }
    if (!fits_in_memory(static_cast<uint64_t>(cells) * 5)) {
        std::fclose(f);
        return path + format_text(": a grid of %lld cells would need about ", static_cast<long long>(cells)) +
               megabytes(static_cast<uint64_t>(cells) * 5) + " of memory, more than half of this machine's";
    }
    grid.bytes.resize(static_cast<size_t>(cells));
    const size_t got = std::fread(grid.bytes.data(), 1, grid.bytes.size(), f);
    std::fclose(f);
    if (got != grid.bytes.size()) return "cannot read " + path;
    if (std::all_of(grid.bytes.begin(), grid.bytes.end(), [](uint8_t b) { return b == 0; })) {
        return path + " holds no density above 0";
    }
    return "";
}

// Trilinear density of a byte grid whose cell (i, j, k) spans [i, i + 1) x ... in world units.
DensitySampler grid_sampler(std::shared_ptr<const CloudBytes> g) {
    return [g](double x, double y, double z) {
        const double p[3] = {x - 0.5, y - 0.5, z - 0.5};
        const int32_t n[3] = {g->nx, g->ny, g->nz};
        int32_t i0[3];
        double t[3];
        for (int k = 0; k < 3; ++k) {
            const double f = std::floor(p[k]);
            i0[k] = static_cast<int32_t>(f);
            t[k] = p[k] - f;
            if (i0[k] < -1 || i0[k] >= n[k]) return 0.0f;
        }
        double sum = 0.0;
        for (int c = 0; c < 8; ++c) {
            const int32_t i = i0[0] + (c & 1), j = i0[1] + ((c >> 1) & 1), k = i0[2] + ((c >> 2) & 1);
            if (i < 0 || j < 0 || k < 0 || i >= n[0] || j >= n[1] || k >= n[2]) continue;
            const double w = ((c & 1) ? t[0] : 1 - t[0]) * (((c >> 1) & 1) ? t[1] : 1 - t[1]) *
                             (((c >> 2) & 1) ? t[2] : 1 - t[2]);
            sum += w * g->bytes[(static_cast<size_t>(k) * n[1] + j) * n[0] + i];
        }
        return static_cast<float>(sum * g->byte_scale);
    };
}

std::string open_source(const BakeOptions& o, ImportedCloud& out, Source& src) {
    std::error_code ec;
    if (!fs::is_regular_file(o.cloud_file, ec)) return "no cloud file " + o.cloud_file;
    if (has_vdb_magic(o.cloud_file)) {
        auto vdb = std::make_shared<VdbDensity>();
        const std::string err = read_vdb_density(o.cloud_file, o.cloud_grid, *vdb);
        if (!err.empty()) return err;
        out.source_kind = "OpenVDB";
        out.grid_name = vdb->grid_name;
        out.non_finite = vdb->non_finite;
        out.negative = vdb->negative;
        if (vdb->box_trimmed) {
            out.warnings += format_text(
                "active voxels apart from the cloud's body and holding under %.2g %% of its density (strays "
                "far from the cloud) are left out of its box\n",
                kStrayMassCut * 100.0);
        }
        for (int k = 0; k < 3; ++k) {
            src.low[k] = vdb->world_low[k];
            src.high[k] = vdb->world_high[k];
            src.voxel[k] = vdb->voxel_size[k];
        }
        if (vdb->byte_step > 0.0f) {
            src.byte_step = vdb->byte_step;
            src.native_across = std::max({vdb->grid_size[0], vdb->grid_size[1], vdb->grid_size[2]});
        }
        src.sampler = [vdb] { return vdb_density_sampler(*vdb); };
        return "";
    }
    if (!o.cloud_grid.empty())
        return "-grid names a grid inside an OpenVDB file; " + o.cloud_file + " is none";
    auto grid = std::make_shared<CloudBytes>();
    const std::string err = read_grid_source(o.cloud_file, *grid);
    if (!err.empty()) return err;
    out.source_kind = "grid file";
    const int32_t n[3] = {grid->nx, grid->ny, grid->nz};
    for (int k = 0; k < 3; ++k) src.high[k] = n[k];
    src.byte_step = grid->byte_scale;
    src.native_across = std::max({n[0], n[1], n[2]});
    src.sampler = [grid] { return grid_sampler(grid); };
    return "";
}

// The byte step that maps the kClipPercentile-th density above 0 to byte 255.
double percentile_step(const std::vector<float>& density) {
    std::vector<float> positive;
    for (float v : density) {
        if (v > 0.0f) positive.push_back(v);
    }
    if (positive.empty()) return 0.0;
    const size_t at = std::min(positive.size() - 1,
                               static_cast<size_t>(kClipPercentile * static_cast<double>(positive.size())));
    std::nth_element(positive.begin(), positive.begin() + static_cast<std::ptrdiff_t>(at), positive.end());
    return positive[at] / 255.0;
}

}  // namespace

std::string import_cloud(const BakeOptions& o, ImportedCloud& out) {
    out = ImportedCloud{};
    Source src;
    std::string err = open_source(o, out, src);
    if (!err.empty()) return err;
    double extent[3];
    for (int k = 0; k < 3; ++k) {
        extent[k] = src.high[k] - src.low[k];
        out.source_size[k] = extent[k];
    }
    const double longest = std::max({extent[0], extent[1], extent[2]});
    if (!(longest > 0.0) || !std::isfinite(longest)) return o.cloud_file + ": the cloud has no extent";

    // Units: metres unless -height says how tall the cloud really is; a grid file has no unit, and
    // neither has a VDB whose height in metres would be no cloud at all (a 32-unit model taken as
    // 32 m becomes a faint wisp that a strike hardly lights).
    if (o.height_m > 0.0) {
        out.metres_per_source_unit = o.height_m / extent[2];
    } else if (out.source_kind == "grid file") {
        out.metres_per_source_unit = kAssumedGridHeight / extent[2];
        out.warnings +=
            format_text("a grid file has no unit: taking the cloud as %.0f m tall (give -height to say)\n",
                        kAssumedGridHeight);
    } else if (extent[2] < kMinCloudMetres || extent[2] > kMaxCloudMetres) {
        out.metres_per_source_unit = kAssumedGridHeight / extent[2];
        out.warnings += format_text(
            "the cloud is %.4g file units tall, no cloud if they were metres: taking its units as unknown "
            "and "
            "the cloud as %.0f m tall (give -height METRES to say)\n",
            extent[2], kAssumedGridHeight);
    }

    const int32_t across = o.cells_across > 0      ? o.cells_across
                           : src.native_across > 0 ? std::max(next_power_of_two(src.native_across), o.dscl)
                                                   : kDefaultCellsAcross;
    const double cell = longest / across;  // source units
    int32_t n[3];
    for (int k = 0; k < 3; ++k) {
        out.cloud_cells[k] = extent[k] / cell;
        n[k] = std::max(next_power_of_two(out.cloud_cells[k]), o.dscl);
    }
    const uint64_t cells = static_cast<uint64_t>(size_product(n[0], n[1], n[2]));
    // The floats of the resampling, the bytes, and the viewer's densities and blobs when it is read back.
    const uint64_t need = cells * (4 + 1 + 4 + 20);
    if (!fits_in_memory(need)) {
        return format_text("the resampled cloud of %d x %d x %d cells would need about ", n[0], n[1], n[2]) +
               megabytes(need) + " of memory, more than half of this machine's; lower -cells-across";
    }
    double pad[3];
    pad[0] = 0.5 * (n[0] * cell - extent[0]);
    pad[1] = 0.5 * (n[1] * cell - extent[1]);
    pad[2] = 0.0;  // the cloud rests on the grid's floor, where strikes start
    for (int k = 0; k < 3; ++k) {
        out.supersamples[k] =
            std::clamp(static_cast<int32_t>(std::ceil(cell / src.voxel[k] - 1e-6)), 1, kMaxSupersamples);
    }
    std::vector<float> density(cells, 0.0f);
    const int s[3] = {out.supersamples[0], out.supersamples[1], out.supersamples[2]};
    const double weight = 1.0 / (s[0] * s[1] * s[2]);
    parallel_for(n[2], o.threads, [&](int k) {
        const DensitySampler sample = src.sampler();
        for (int32_t j = 0; j < n[1]; ++j) {
            for (int32_t i = 0; i < n[0]; ++i) {
                const double base[3] = {src.low[0] - pad[0] + i * cell, src.low[1] - pad[1] + j * cell,
                                        src.low[2] - pad[2] + k * cell};
                double sum = 0.0;
                for (int c = 0; c < s[2]; ++c) {
                    const double z = base[2] + (c + 0.5) / s[2] * cell;
                    for (int b = 0; b < s[1]; ++b) {
                        const double y = base[1] + (b + 0.5) / s[1] * cell;
                        for (int a = 0; a < s[0]; ++a) sum += sample(base[0] + (a + 0.5) / s[0] * cell, y, z);
                    }
                }
                density[(static_cast<size_t>(k) * n[1] + j) * n[0] + i] = static_cast<float>(sum * weight);
            }
        }
    });

    out.density_per_byte = src.byte_step > 0.0 ? src.byte_step : percentile_step(density);
    if (!(out.density_per_byte > 0.0)) {
        return o.cloud_file + ": the cloud vanishes when resampled to " + std::to_string(across) +
               " cells across (raise -cells-across)";
    }
    CloudBytes& c = out.cloud;
    c.nx = n[0];
    c.ny = n[1];
    c.nz = n[2];
    c.byte_scale = kCloudByteScale;
    c.bytes.resize(cells);
    for (size_t i = 0; i < cells; ++i) {
        const long b = std::lround(density[i] / out.density_per_byte);
        if (b > 255) ++out.clipped;
        c.bytes[i] = static_cast<uint8_t>(std::clamp(b, 0L, 255L));
    }
    if (std::all_of(c.bytes.begin(), c.bytes.end(), [](uint8_t b) { return b == 0; })) {
        return o.cloud_file + ": the cloud vanishes when resampled (raise -cells-across)";
    }
    if (out.non_finite + out.negative > 0) {
        out.warnings +=
            format_text("warning: %lld non-finite and %lld negative densities in %s were set to 0\n",
                        static_cast<long long>(out.non_finite), static_cast<long long>(out.negative),
                        o.cloud_file.c_str());
    }

    // Scene units: the longest side spans kCloudSpanUnits, whatever its size in metres.
    const float cell_units = kCloudSpanUnits / static_cast<float>(across);
    out.metres_per_unit = longest * out.metres_per_source_unit / kCloudSpanUnits;
    double column = 0.0;  // largest sum of density x length up a column, scene units
    for (int32_t j = 0; j < n[1]; ++j) {
        for (int32_t i = 0; i < n[0]; ++i) {
            double sum = 0.0;
            for (int32_t k = 0; k < n[2]; ++k) sum += c.bytes[(static_cast<size_t>(k) * n[1] + j) * n[0] + i];
            column = std::max(column, sum * c.byte_scale * cell_units);
        }
    }
    const double height_m = extent[2] * out.metres_per_source_unit;
    out.core_depth = std::min(kCumulusExtinction * height_m, kMaxCoreDepth);
    out.extinction = static_cast<float>(out.core_depth / column);
    return "";
}

DemoLayout cloud_layout(const ImportedCloud& imp, const BakeOptions& o) {
    const CloudBytes& c = imp.cloud;
    DemoLayout l;
    l.grid_file = "cloud.grd";
    l.grid_nx = c.nx;
    l.grid_ny = c.ny;
    l.grid_nz = c.nz;
    const int32_t across = static_cast<int32_t>(
        std::lround(std::max({imp.cloud_cells[0], imp.cloud_cells[1], imp.cloud_cells[2]})));
    l.cell_size = kCloudSpanUnits / static_cast<float>(std::max(across, 1));
    const float width = l.cell_size * static_cast<float>(std::max(imp.cloud_cells[0], imp.cloud_cells[1]));
    const float base = std::max(kBaseShare * width, kMinBase);
    l.box_low[0] = -0.5f * l.cell_size * c.nx;
    l.box_low[1] = -0.5f * l.cell_size * c.ny;
    l.box_low[2] = base;
    l.dscl = o.dscl;
    l.extinction = imp.extinction;
    l.albedo = kAlbedo;
    l.phase_g = kAsymmetry;
    l.lightning_seed = static_cast<int32_t>(o.seed % 30000u) + 1;
    l.sky_dome = o.sky_dome;
    l.thunder_metres_per_unit = static_cast<float>(imp.metres_per_unit);
    l.flash_strokes = o.flash_strokes;
    l.fovy = kFovy;

    // Walk the eye out from the storm's axis until every corner of the cloud box fits the window.
    float low[3], high[3];
    cloud_world_box(imp, l, low, high);
    const float half[3] = {0.5f * (high[0] - low[0]), 0.5f * (high[1] - low[1]), 0.5f * (high[2] - low[2])};
    const float centre[3] = {0.0f, 0.0f, base + half[2]};
    const float margin = 0.5f * (1.0f - kFrameShare) * static_cast<float>(kViewerWindow);
    const float far_edge = static_cast<float>(kViewerWindow) - margin;
    float eye[3] = {0, 0, kEyeHeight};
    float view[3] = {0, 0, 0};
    for (float reach = std::hypot(half[0], half[1]) * 1.05f; reach < 1e6f; reach *= 1.04f) {
        eye[0] = centre[0] + reach * std::cos(kEyeAzimuth);
        eye[1] = centre[1] + reach * std::sin(kEyeAzimuth);
        const float yaw = std::atan2(centre[1] - eye[1], centre[0] - eye[0]);
        float lo = 10.0f, hi = -10.0f;
        for (int k = 0; k < 8; ++k) {
            const float x = centre[0] + ((k & 1) ? half[0] : -half[0]) - eye[0];
            const float y = centre[1] + ((k & 2) ? half[1] : -half[1]) - eye[1];
            const float z = centre[2] + ((k & 4) ? half[2] : -half[2]) - eye[2];
            const float el = std::atan2(z, std::hypot(x, y));
            lo = std::min(lo, el);
            hi = std::max(hi, el);
        }
        const float pitch = 0.5f * (lo + hi);
        view[0] = std::cos(pitch) * std::cos(yaw);
        view[1] = std::cos(pitch) * std::sin(yaw);
        view[2] = std::sin(pitch);
        l.target[0] = eye[0] + view[0];
        l.target[1] = eye[1] + view[1];
        l.target[2] = eye[2] + view[2];
        l.distance = 1.0f;
        l.azimuth = std::atan2(-view[1], -view[0]);
        l.elevation = -pitch;
        const ScreenBox b = cloud_screen_box(l, low, high, kViewerWindow);
        if (b.inside && b.x0 >= margin && b.y0 >= margin && b.x1 <= far_edge && b.y1 <= far_edge) break;
    }
    // The orbit's centre: the point of the sight line nearest the storm's middle.
    const float along =
        (centre[0] - eye[0]) * view[0] + (centre[1] - eye[1]) * view[1] + (centre[2] - eye[2]) * view[2];
    for (int k = 0; k < 3; ++k) l.target[k] = eye[k] + along * view[k];
    l.distance = along;

    if (o.town) {
        l.object_files = {"ground.obj", "town_centre.obj", "town_edge.obj"};
    } else {
        l.object_files = {"ground.obj"};
    }
    return l;
}

void cloud_world_box(const ImportedCloud& imp, const DemoLayout& l, float low[3], float high[3]) {
    // Centred across the grid, resting on its floor.
    for (int k = 0; k < 2; ++k) {
        high[k] = 0.5f * l.cell_size * static_cast<float>(imp.cloud_cells[k]);
        low[k] = -high[k];
    }
    low[2] = l.box_low[2];
    high[2] = low[2] + l.cell_size * static_cast<float>(imp.cloud_cells[2]);
}

ScreenBox cloud_screen_box(const DemoLayout& l, const float low[3], const float high[3], int32_t win) {
    // The viewer's camera: eye on the orbit, basis as its camera_basis, square window.
    const float ce = std::cos(l.elevation);
    const float eye[3] = {l.target[0] + l.distance * ce * std::cos(l.azimuth),
                          l.target[1] + l.distance * ce * std::sin(l.azimuth),
                          l.target[2] + l.distance * std::sin(l.elevation)};
    float fwd[3] = {l.target[0] - eye[0], l.target[1] - eye[1], l.target[2] - eye[2]};
    const float fl = std::sqrt(fwd[0] * fwd[0] + fwd[1] * fwd[1] + fwd[2] * fwd[2]);
    for (float& v : fwd) v /= fl;
    const float hl = std::hypot(fwd[0], fwd[1]);
    const float right[3] = {fwd[1] / hl, -fwd[0] / hl, 0.0f};
    const float up[3] = {right[1] * fwd[2] - right[2] * fwd[1], right[2] * fwd[0] - right[0] * fwd[2],
                         right[0] * fwd[1] - right[1] * fwd[0]};
    const float t = std::tan(l.fovy * 0.5f * 3.1415926f / 180.0f);
    const float half = 0.5f * static_cast<float>(win);
    bool behind = false;
    auto project = [&](const float p[3], float& px, float& py) {
        const float d[3] = {p[0] - eye[0], p[1] - eye[1], p[2] - eye[2]};
        const float depth = d[0] * fwd[0] + d[1] * fwd[1] + d[2] * fwd[2];
        if (depth <= 0.0f) behind = true;
        px = half + half * (d[0] * right[0] + d[1] * right[1] + d[2] * right[2]) / (depth * t);
        py = half - half * (d[0] * up[0] + d[1] * up[1] + d[2] * up[2]) / (depth * t);
    };
    ScreenBox box;
    box.x0 = box.y0 = 1e30f;
    box.x1 = box.y1 = -1e30f;
    for (int k = 0; k < 8; ++k) {
        const float p[3] = {(k & 1) ? high[0] : low[0], (k & 2) ? high[1] : low[1],
                            (k & 4) ? high[2] : low[2]};
        float px, py;
        project(p, px, py);
        box.x0 = std::min(box.x0, px);
        box.x1 = std::max(box.x1, px);
        box.y0 = std::min(box.y0, py);
        box.y1 = std::max(box.y1, py);
    }
    box.inside = !behind && box.x0 >= 0.0f && box.y0 >= 0.0f && box.x1 <= win && box.y1 <= win;
    const float under[3] = {0.5f * (low[0] + high[0]), 0.5f * (low[1] + high[1]), low[2]};
    float sx, sy;
    project(under, sx, sy);
    box.strike_x = static_cast<int32_t>(std::lround(sx));
    box.strike_y = static_cast<int32_t>(std::lround(sy));
    return box;
}

namespace {

std::string source_note(const BakeOptions& o, const ImportedCloud& imp, const DemoLayout& l) {
    std::string s = "scene made by vintrel-bake -cloud\n";
    s += "source " + o.cloud_file + " (" + imp.source_kind + ")\n";
    if (!imp.grid_name.empty()) s += "grid " + imp.grid_name + "\n";
    s += format_text("cloud size %.6g x %.6g x %.6g file units, %.6g metres per file unit\n",
                     imp.source_size[0], imp.source_size[1], imp.source_size[2], imp.metres_per_source_unit);
    s += format_text("fine grid %d x %d x %d cells of %.6g scene units; one scene unit is %.6g m\n",
                     l.grid_nx, l.grid_ny, l.grid_nz, l.cell_size, imp.metres_per_unit);
    s += format_text("samples per cell %d x %d x %d (box filter of trilinear samples)\n", imp.supersamples[0],
                     imp.supersamples[1], imp.supersamples[2]);
    s += format_text("byte step %.6g source density units; %lld cells clipped at 255\n", imp.density_per_byte,
                     static_cast<long long>(imp.clipped));
    s +=
        format_text("extinction %.6g per scene unit at density 1: optical depth %.4g up the densest column\n",
                    l.extinction, imp.core_depth);
    return s;
}

// Moves the finished folder to its final name, replacing an earlier -cloud scene there.
std::string put_in_place(const std::string& partial, const std::string& dir) {
    std::error_code ec;
    const std::string old = dir + ".old";
    if (fs::exists(dir, ec)) {
        fs::remove_all(old, ec);
        fs::rename(dir, old, ec);
        if (ec) return "cannot move the earlier scene " + dir + " aside: " + ec.message();
    }
    fs::rename(partial, dir, ec);
    if (ec) {
        std::error_code ignored;
        if (fs::exists(old, ignored)) fs::rename(old, dir, ignored);
        return "cannot rename " + partial + " to " + dir + ": " + ec.message();
    }
    fs::remove_all(old, ec);
    return "";
}

std::string bake_into(const std::string& dir, const BakeOptions& o, const ImportedCloud& imp,
                      const DemoLayout& layout, BakeReport& report, Clock::time_point t0) {
    SceneFiles w{dir, report, ""};
    w.put(layout.grid_file, grid_file_bytes(imp.cloud));
    // The ground reaches well past the camera; the town stands between the camera and the storm.
    const float eye_x =
        layout.target[0] + layout.distance * std::cos(layout.elevation) * std::cos(layout.azimuth);
    const float eye_y =
        layout.target[1] + layout.distance * std::cos(layout.elevation) * std::sin(layout.azimuth);
    w.put_text("ground.obj", ground_object_text(std::max(800.0f, 3.0f * std::hypot(eye_x, eye_y)), 100.0f));
    if (o.town) {
        // Tall blocks off to one side of the sight line, so they do not hide the strikes under the
        // cloud's middle; low houses on the other side, nearer the camera.
        const float tallest = std::min(30.0f, 0.6f * layout.box_low[2]);
        const float away = std::hypot(eye_x, eye_y), heading = std::atan2(eye_y, eye_x);
        w.put_text("town_centre.obj", buildings_object_text(o.seed, 12, 18.0f, 0.2f * tallest, tallest,
                                                            0.45f * away * std::cos(heading + 0.3f),
                                                            0.45f * away * std::sin(heading + 0.3f), 23.0f));
        w.put_text("town_edge.obj",
                   buildings_object_text(o.seed + 1u, 18, 26.0f, 0.07f * tallest, 0.18f * tallest,
                                         0.7f * away * std::cos(heading - 0.25f),
                                         0.7f * away * std::sin(heading - 0.25f), 23.0f));
    }
    put_shared_assets(w, layout, o.seed);
    w.put("view.dat", view_file_bytes(layout, kKeyViews));
    w.put_text("test.dat", scene_file_text(layout));
    w.put_text(kSourceNote, source_note(o, imp, layout));
    if (!w.error.empty()) return w.error;
    if (!o.quiet) {
        std::printf("  scene, objects and sounds done (%.1f s)\n", seconds_since(t0));
        std::fflush(stdout);
    }
    return bake_physical_scene(w, layout, table_options(o));
}

}  // namespace

std::string run_cloud_bake(const BakeOptions& o, BakeReport& report) {
    const auto t0 = Clock::now();
    report = BakeReport{};
    std::string dir = o.out_dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::error_code ec;
    // Never replace a folder this tool did not make.
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) return dir + " exists and is not a folder";
        if (!fs::is_empty(dir, ec) && !fs::exists(fs::path(dir) / kSourceNote, ec)) {
            return dir +
                   " exists and holds files of its own; give a new folder (an earlier -cloud scene would "
                   "be replaced)";
        }
    }
    ImportedCloud imp;
    std::string err = import_cloud(o, imp);
    if (!err.empty()) return err;
    const DemoLayout layout = cloud_layout(imp, o);
    if (!o.quiet) {
        std::fputs(imp.warnings.c_str(), stdout);
        std::printf(
            "  %s cloud%s%s: %.4g x %.4g x %.4g file units (%.4g m tall), %d x %d x %d samples per cell\n",
            imp.source_kind.c_str(), imp.grid_name.empty() ? "" : ", grid ", imp.grid_name.c_str(),
            imp.source_size[0], imp.source_size[1], imp.source_size[2],
            imp.source_size[2] * imp.metres_per_source_unit, imp.supersamples[0], imp.supersamples[1],
            imp.supersamples[2]);
        std::printf("  fine grid %d x %d x %d, one scene unit %.4g m, byte step %.4g (%lld cells clipped)\n",
                    layout.grid_nx, layout.grid_ny, layout.grid_nz, imp.metres_per_unit, imp.density_per_byte,
                    static_cast<long long>(imp.clipped));
        std::printf("  optical depth %.3g up the densest column: extinction %.4g per unit at density 1\n",
                    imp.core_depth, imp.extinction);
        std::printf("  resampled (%.1f s)\n", seconds_since(t0));
        std::fflush(stdout);
    } else if (!imp.warnings.empty()) {
        std::fputs(imp.warnings.c_str(), stdout);
    }
    // Everything is made under a temporary name: a failure leaves nothing under DIR.
    const std::string partial = dir + ".partial";
    fs::remove_all(partial, ec);
    fs::create_directories(partial, ec);
    if (!fs::is_directory(partial, ec)) return "cannot create " + partial;
    err = bake_into(partial, o, imp, layout, report, t0);
    if (err.empty()) err = put_in_place(partial, dir);
    if (!err.empty()) {
        fs::remove_all(partial, ec);
        return err;
    }
    float low[3], high[3];
    cloud_world_box(imp, layout, low, high);
    const ScreenBox box = cloud_screen_box(layout, low, high, kViewerWindow);
    if (!o.quiet) {
        std::printf(
            "in the viewer's %d x %d window the cloud spans pixels %.0f-%.0f across, %.0f-%.0f down; "
            "a click at %d %d strikes under its middle\n",
            kViewerWindow, kViewerWindow, box.x0, box.x1, box.y0, box.y1, box.strike_x, box.strike_y);
    }
    report.seconds = seconds_since(t0);
    return "";
}

std::string run_vdb_export(const BakeOptions& o, BakeReport& report) {
    const auto t0 = Clock::now();
    report = BakeReport{};
    Scene scene;
    // Only the cloud is exported: the sounds are not read (nor need they be there).
    std::string err = read_scene_folder(o.out_dir, "", scene, false);
    if (!err.empty()) return err;
    const CloudGrid& g = scene.cloud;
    if (g.grd_numx <= 0 || g.grd_bytes.empty()) return "the scene in " + o.out_dir + " has no cloud";
    const int32_t size[3] = {g.grd_numx, g.grd_numy, g.grd_numz};
    std::vector<float> density(g.grd_bytes.size());
    // Every byte, also those under the scene's density threshold, so the grid can be rebuilt exactly.
    for (size_t i = 0; i < density.size(); ++i)
        density[i] = static_cast<float>(g.grd_bytes[i]) * g.grd_byte_scale;
    const double low[3] = {g.grd_origin.x, g.grd_origin.y, g.grd_origin.z};
    err = write_vdb_density(o.export_file, "density", size, density, g.grd_size, low, g.grd_byte_scale);
    if (!err.empty()) return err;
    std::error_code ec;
    report.files.push_back({o.export_file, static_cast<uint64_t>(fs::file_size(o.export_file, ec))});
    report.seconds = seconds_since(t0);
    return "";
}
