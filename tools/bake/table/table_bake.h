// table_bake.h -- baking a scene folder's lighting tables: the base intensity table and the attenuation table
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lightning/lightning_grid.h"
#include "scene/scene.h"
#include "tools/bake/medium/transport.h"
#include "tools/bake/table/ambient_bake.h"

// Gamma-mapped level (at the scene's brightness 1, before the splat brightness) at which the viewer
// shows the light-weighted mean radiance of a reference strike (reference_radiance): the cells just
// above the channel then reach full colour, and the gamma mapping lifts the dimmer glow that multiple
// scattering carries up through the tower into the anvil.
constexpr double kReferenceLevel = 0.36;
// Random walks per lightning cell of the reference strike that sets the table's scale, from streams
// of their own: the scale is the same whatever -paths and -seed are.
constexpr int64_t kCalibrationPaths = 16384;
constexpr uint32_t kCalibrationSeed = 0x5CA1Eu;
// Random walks per lightning cell unless -paths says otherwise.
constexpr int64_t kDefaultPaths = 4096;
// The attenuation table is written only below this size: the viewer never reads its rows, and it grows
// with the square of the coarse cell count.
constexpr uint64_t kMaxWrittenGenkBytes = uint64_t{64} << 20;

enum class Scattering { kSingle, kMultiple };

// Inclusive ranges of lightning cells, as given to -cells; empty means every cell.
using CellRanges = std::vector<std::pair<int64_t, int64_t>>;

// How to bake the tables.
struct TableOptions {
    int32_t coeffs = 96;       // wavelet coefficients kept per record (without a size budget)
    uint64_t table_bytes = 0;  // -table-mb: the table's size budget in bytes; 0: -coeffs per record
    int64_t paths = kDefaultPaths;
    Scattering scattering = Scattering::kMultiple;
    CellRanges cells;
    uint32_t seed = 1;
    int32_t threads = 0;  // 0: all cores
    bool quiet = false;
    // -shard I/N: bake the I-th of N shares of the lightning cells (balanced by expected work) into a
    // shard file; 0 / 0 for a whole bake.
    int32_t shard_index = 0, shard_count = 0;
    std::string shard_file;  // -o; default SCENE_DIR/basic_intensity_cmp.dat.I-of-N
    // The scene will be shaded physically (its shading section comes after the tables): the records hold
    // the in-scattered radiance per unit scattering, eta / sigma_s, and the budget weighs each coefficient
    // by the physical display. A scene that already says so needs no flag.
    bool physical_display = false;
};

// Walks per lightning cell of the pilot run that estimates each cell's work for the shares.
constexpr int64_t kPilotPaths = 32;

// What a table bake made, for the report and the tests.
struct TableReport {
    int32_t lightning_cells = 0;      // N_L of the viewer's lightning grid
    int32_t coarse_cells = 0;         // M
    int32_t cells_baked = 0;          // lightning cells with a non-empty record
    double table_scale = 0.0;         // factor applied to every coefficient
    double kept_energy = 0.0;         // mean share of the field energy kept per record
    double kept_energy_table = 0.0;   // share of the whole table's field energy kept
    double reference_radiance = 0.0;  // the reference strike's light-weighted mean radiance (before scale)
    double reference_peak = 0.0;      // the gamma-mapped level of its brightest cell and direction
    // RMS display error of the reference strike over the cloud's coarse cells and directions, in grey
    // levels (0 ... 255) after the viewer's gamma mapping, against its calibration field: with every
    // coefficient of this bake's walks, of the table written, and of the per-record rule with -coeffs
    // (the same as the table without a budget).
    double display_error_all = 0.0, display_error = 0.0, display_error_per_record = 0.0;
    bool budget = false;       // the coefficients were chosen under a size budget
    int32_t coeffs = 0;        // -coeffs of the per-record rule
    TransportStats transport;  // summed over the baked cells (multiple scattering)
    double transport_seconds = 0.0;
    double depth_vertical = 0.0;  // optical depth through the cloud's densest column, bottom to top
    double depth_across = 0.0;    // and across it along x at its densest height
    uint64_t table_bytes = 0;
    std::string table_file;                  // where the table (or the shard) was written
    int32_t share_first = 0, share_end = 0;  // the shard's lightning cells [first, end)
    double share_work = 0.0;                 // the shard's share of the expected work
    uint64_t genk_bytes = 0;                 // 0 when the attenuation table was left out
    bool genk_written = false;
    AmbientReport ambient;  // the sun and sky table (whole bakes and the first shard)
    bool ambient_written = false;
    uint64_t ambient_bytes = 0;
    double seconds = 0.0;
};

// Scale that makes the viewer show `peak` for a linear response `raw_peak` (before the table
// scale): the viewer divides by 1e9, multiplies by the colour share `colour_share` of the strongest
// channel and maps with value^gamma_inv * light_scale.
double table_scale_for_peak(double raw_peak, double colour_share, float gamma_inv, float light_scale,
                            double peak);

// The light-weighted mean radiance of a field (cell-major, kDirCount per cell):
// sum(P_c^2) / sum(P_c) / 4 pi with P_c = sum_d A_d eta(c, d) the power a cell scatters per unit
// volume. A robust statistic: the brightest single value of a Monte Carlo field is its noisiest, but
// this mean changes by a per cent or two between seeds even at 1024 walks.
double reference_radiance(const std::vector<double>& field);

// Parses "-cells" text: comma-separated indices and FIRST-LAST ranges. Returns an empty string or what is
// wrong with the text.
std::string parse_cell_ranges(const std::string& text, CellRanges& out);

// Reads dir/test.dat and then `extra` (when not empty) into scene with the viewer's own reader, from
// inside dir as the viewer does (the scene names its files relative to the working folder). Returns an
// empty string, or why the scene could not be read. Without load_sounds the wave section's files are not
// read.
std::string read_scene_folder(const std::string& dir, const std::string& extra, Scene& scene,
                              bool load_sounds = true);

// Checks that the scene can be baked (cloud, lightning section, layers, power-of-two coarse sizes,
// optics, memory) and bakes dir/basic_intensity_cmp.dat, dir/ambient_light.dat (the sun and the sky at
// the exposure the bake writes into a physical scene) and, when small enough, dir/genk.tbl, each written
// under a temporary name and renamed when whole. Returns an empty string on success, otherwise
// the message to print.
std::string bake_scene_tables(const std::string& dir, const Scene& scene, const TableOptions& options,
                              TableReport& report);

// Expected work of baking each lightning cell, in units of one scattering event: the fixed cost of its
// records (transforms and selection over every coarse cell and direction) plus, for multiple
// scattering, its walks times one plus their mean scatterings, measured by kPilotPaths pilot walks.
std::vector<double> lightning_cell_costs(const Scene& scene, const TableOptions& options);

// Where a channel can be inside each lightning cell, cloud-local, in the table's cell order: the whole
// cell, but above the ground and, for a cell that straddles the cloud base, below the base (a channel
// reaches the cloud at its base).
std::vector<SourceBox> lightning_cell_sources(const LightningGrid& grid, const CloudGrid& cloud);
