// table_bake.cpp -- baking a scene folder's lighting tables: the base intensity table and the attenuation
// table
#include "tools/bake/table/table_bake.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <numeric>

#include "illumination/directions.h"
#include "illumination/in_scattering.h"
#include "lightning/lightning_grid.h"
#include "lightning/reference_strike.h"
#include "scene/scene_file.h"
#include "support/fatal.h"
#include "support/file_limits.h"
#include "tools/bake/byte_writer.h"
#include "tools/bake/medium/coarse_cloud.h"
#include "tools/bake/parallel.h"
#include "tools/bake/table/base_intensity.h"
#include "tools/bake/table/exposure.h"
#include "tools/bake/table/shards.h"
#include "tools/bake/table/table_budget.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds between progress lines of the cell loop.
constexpr double kProgressEvery = 2.0;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool is_power_of_two(int64_t n) { return n > 0 && (n & (n - 1)) == 0; }

std::string megabytes(uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

// eta of one lightning cell, cell-major (M x kDirCount), before the table scale.
TransportStats cell_field(const TransportMedium& medium, const SourceBox& source, const TableOptions& o,
                          int64_t cell, TransportScratch& scratch, std::vector<double>& field) {
    if (o.scattering == Scattering::kSingle) {
        single_scattering(medium, source, field);
        return TransportStats{};
    }
    return trace_multiple_scattering(medium, source, o.paths, cell_stream(o.seed, cell), scratch, field);
}

// The records of one lightning cell: one per direction, from a cell-major field.
std::vector<uint8_t> cell_records(const std::vector<double>& field, const CoarseCloud& coarse, int32_t keep,
                                  double scale, double& kept, double* energy) {
    const size_t m = static_cast<size_t>(coarse.count());
    thread_local std::vector<float> one;
    one.resize(m);
    ByteWriter w;
    kept = 0.0;
    for (size_t d = 0; d < static_cast<size_t>(kDirCount); ++d) {
        for (size_t c = 0; c < m; ++c) one[c] = static_cast<float>(field[c * kDirCount + d]);
        kept += append_record(one, coarse, keep, scale, w, energy);
    }
    kept /= kDirCount;
    return std::move(w.bytes);
}

// Optical depth through the densest column of the cloud (bottom to top of the grid) and across it along
// x at the densest height of that column: how opaque the cloud is to its own light.
void core_depths(const TransportMedium& m, double& vertical, double& across) {
    vertical = across = 0.0;
    int32_t best_y = 0;
    for (int32_t y = 0; y < m.ny; ++y) {
        for (int32_t x = 0; x < m.nx; ++x) {
            double column = 0.0;
            for (int32_t z = 0; z < m.nz; ++z)
                column += m.sigma_t[static_cast<size_t>(x + m.nx * (y + m.ny * z))];
            if (column * m.cell > vertical) {
                vertical = column * m.cell;
                best_y = y;
            }
        }
    }
    for (int32_t z = 0; z < m.nz; ++z) {
        double row = 0.0;
        for (int32_t x = 0; x < m.nx; ++x)
            row += m.sigma_t[static_cast<size_t>(x + m.nx * (best_y + m.ny * z))];
        across = std::max(across, row * m.cell);
    }
}

// Cost of a cell's records relative to one scattering event, per coarse cell and direction (measured:
// about 18 ns against 0.3 us an event).
constexpr double kRecordCostPerValue = 0.06;

std::vector<double> cell_costs(const TransportMedium& medium, const std::vector<SourceBox>& sources,
                               const TableOptions& o, int workers) {
    std::vector<double> cost(sources.size(), kRecordCostPerValue * medium.count() * kDirCount);
    if (o.scattering != Scattering::kMultiple) return cost;
    parallel_for(static_cast<int>(sources.size()), workers, [&](int k) {
        const TransportStats s = trace_walks_only(medium, sources[static_cast<size_t>(k)], kPilotPaths,
                                                  cell_stream(o.seed ^ 0x5EEDu, k) ^ 0x9E3779B97F4A7C15ull);
        const double per_walk = 1.0 + static_cast<double>(s.collisions) / kPilotPaths;
        cost[static_cast<size_t>(k)] += static_cast<double>(o.paths) * per_walk;
    });
    return cost;
}

// A checksum of everything the table depends on besides the seed: the cloud, its optics and mapping,
// the lightning grid and colours, and the table options.
uint64_t inputs_checksum(const Scene& scene, const LightningGrid& lgrid, const TableOptions& o) {
    const CloudGrid& c = scene.cloud;
    uint64_t h = kChecksumStart;
    auto add = [&](const void* p, size_t n) { h = checksum_bytes(h, p, n); };
    const int32_t ints[4] = {c.grd_numx, c.grd_numy, c.grd_numz, c.dscl};
    add(ints, sizeof ints);
    const float floats[9] = {c.grd_size,   c.grd_origin.x, c.grd_origin.y, c.grd_origin.z, c.optical[0],
                             c.optical[1], c.optical[2],   c.gamma_inv,    c.light_scale};
    add(floats, sizeof floats);
    add(c.grd_density.data(), c.grd_density.size() * sizeof(float));
    add(lgrid.lgrid_z.data(), lgrid.lgrid_z.size() * sizeof(float));
    const Vec3 v[4] = {lgrid.box_low, lgrid.box_high, scene.lightning.emission_colour,
                       scene.lightning.channel_colour};
    add(v, sizeof v);
    const int64_t opts[4] = {o.paths, o.coeffs, static_cast<int64_t>(o.scattering),
                             static_cast<int64_t>(o.table_bytes)};
    add(opts, sizeof opts);
    return h;
}

// 1 / sigma_s per coarse cell as the viewer averages it (0 in empty cells): a physical table holds the
// in-scattered radiance per unit scattering, J = eta / sigma_s. J is light, smooth through the cloud, so
// its wavelets lose little where eta's, divided afterwards by a thin cell's small sigma_s, would light
// thin cloud with the errors of the dense cloud beside it.
std::vector<double> per_unit_scattering(const Scene& scene) {
    const std::vector<float> sigma = coarse_scattering(scene.cloud);
    std::vector<double> inv(sigma.size(), 0.0);
    for (size_t c = 0; c < sigma.size(); ++c) inv[c] = sigma[c] > 0.0f ? 1.0 / sigma[c] : 0.0;
    return inv;
}

// A cell-major field of eta as the field a physical table holds: J = eta / sigma_s, 0 in empty cells.
void to_in_scattering(std::vector<double>& field, const std::vector<double>& inv_sigma_s) {
    for (size_t c = 0; c < inv_sigma_s.size(); ++c)
        for (size_t d = 0; d < static_cast<size_t>(kDirCount); ++d)
            field[c * kDirCount + d] *= inv_sigma_s[c];
}

// A physical scene shows a cloud cell's light v as (E a share v)^gamma_inv: E the exposure the table
// scale gives, a the albedo; empty cells show only through their neighbours' light.
void use_physical_display(DisplayCurve& curve, const Scene& scene, double table_scale,
                          const std::vector<double>& inv_sigma_s) {
    const double k = physical_exposure(table_scale, scene) * scene.cloud.optical[1];
    curve.light_scale = 1.0;
    curve.cell_factor.assign(inv_sigma_s.size(), 0.0);
    for (size_t c = 0; c < inv_sigma_s.size(); ++c) curve.cell_factor[c] = inv_sigma_s[c] > 0.0 ? k : 0.0;
    curve.factor_max = k;
}

// RMS difference in grey levels, over the cloud's cells and every direction, between the displayed
// light of a strike sum (Haar coefficients in field units, direction-major planes of M) and a
// reference field (cell-major, kDirCount per cell).
double display_rms(std::vector<float> a, const std::vector<double>& reference, const CoarseCloud& coarse,
                   double unit, const DisplayCurve& curve) {
    const size_t m = static_cast<size_t>(coarse.count());
    double sum = 0.0;
    int64_t n = 0;
    for (int32_t d = 0; d < kDirCount; ++d) {
        float* pa = a.data() + static_cast<size_t>(d) * m;
        inverse_haar_3d(pa, coarse.nx, coarse.ny, coarse.nz);
        for (size_t c = 0; c < m; ++c) {
            if (!(coarse.density[c] > 0.0)) continue;
            const double r = reference[c * kDirCount + static_cast<size_t>(d)];
            const double diff =
                255.0 * (display_value_at(curve, c, pa[c] * unit) - display_value_at(curve, c, r * unit));
            sum += diff * diff;
            ++n;
        }
    }
    return n > 0 ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

// The display error of the reference strike against its calibration field (4 times the default walks,
// streams of its own): with all the coefficients of the table's walks, as the table holds them, and as
// the per-record rule with `coeffs` would hold them.
void reference_display_errors(const std::vector<std::pair<int32_t, double>>& ref,
                              const std::vector<std::vector<float>>& ref_coeffs,
                              const std::vector<std::vector<uint8_t>>& records,
                              const std::vector<double>& reference, const CoarseCloud& coarse, int32_t coeffs,
                              double scale, const DisplayCurve& curve, TableReport& report) {
    const size_t m = static_cast<size_t>(coarse.count());
    const size_t size = m * kDirCount;
    std::vector<float> full(size, 0.0f), table(size, 0.0f), rule(size, 0.0f);
    for (size_t i = 0; i < ref.size(); ++i) {
        const std::vector<float>& c = ref_coeffs[i];
        const std::vector<uint8_t>& r = records[static_cast<size_t>(ref[i].first)];
        if (c.size() != size || r.empty() || reference.size() != size) return;
        const float w = static_cast<float>(ref[i].second);
        for (size_t j = 0; j < size; ++j) full[j] += w * c[j];
        // The table's own records of the cell.
        size_t at = 0;
        for (int32_t d = 0; d < kDirCount; ++d) {
            int32_t n;
            std::memcpy(&n, r.data() + at, 4);
            at += 4;
            const size_t idx = at;
            at += 4 * static_cast<size_t>(n);
            for (int32_t q = 0; q < n; ++q) {
                int32_t pos;
                float v;
                std::memcpy(&pos, r.data() + idx + 4 * static_cast<size_t>(q), 4);
                std::memcpy(&v, r.data() + at + 4 * static_cast<size_t>(q), 4);
                table[static_cast<size_t>(d) * m + static_cast<size_t>(pos)] +=
                    w * static_cast<float>(v / scale);
            }
            at += 4 * (static_cast<size_t>(n) + 1);
            // The per-record rule: the `coeffs` largest magnitudes of this direction.
            std::vector<int32_t> order(m);
            std::iota(order.begin(), order.end(), 0);
            const float* plane = c.data() + static_cast<size_t>(d) * m;
            const size_t keep = std::min(m, static_cast<size_t>(std::max(coeffs, 0)));
            std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(),
                             [&](int32_t a, int32_t b) { return std::fabs(plane[a]) > std::fabs(plane[b]); });
            for (size_t q = 0; q < keep; ++q)
                rule[static_cast<size_t>(d) * m + static_cast<size_t>(order[q])] += w * plane[order[q]];
        }
    }
    const double unit = scale / 1e9;
    report.display_error_all = display_rms(full, reference, coarse, unit, curve);
    report.display_error = display_rms(table, reference, coarse, unit, curve);
    report.display_error_per_record = display_rms(rule, reference, coarse, unit, curve);
}

bool write_or_fail(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    if (write_file_bytes(path, bytes)) return true;
    error = "cannot write " + path;
    return false;
}

}  // namespace

double table_scale_for_peak(double raw_peak, double colour_share, float gamma_inv, float light_scale,
                            double peak) {
    if (raw_peak <= 0.0 || colour_share <= 0.0 || gamma_inv <= 0.0f || light_scale <= 0.0f) return 1.0;
    // peak = (share * u)^gamma_inv * light_scale  =>  u = (peak / light_scale)^(1/gamma_inv) / share
    const double u = std::pow(peak / light_scale, 1.0 / gamma_inv) / colour_share;
    return u * 1e9 / raw_peak;
}

std::string parse_cell_ranges(const std::string& text, CellRanges& out) {
    out.clear();
    size_t start = 0;
    auto number = [](const std::string& s, int64_t& v) {
        if (s.empty() || s.size() > 12 || s.find_first_not_of("0123456789") != std::string::npos)
            return false;
        v = std::strtoll(s.c_str(), nullptr, 10);
        return true;
    };
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        int64_t a = 0, b = 0;
        const bool ok = dash == std::string::npos
                            ? number(item, a) && number(item, b)
                            : number(item.substr(0, dash), a) && number(item.substr(dash + 1), b);
        if (!ok) return "-cells: '" + item + "' is not a cell index or a FIRST-LAST range";
        if (b < a) return "-cells: the range '" + item + "' runs backwards";
        out.push_back({a, b});
        start = comma + 1;
    }
    return "";
}

std::string read_scene_folder(const std::string& dir, const std::string& extra, Scene& scene,
                              bool load_sounds) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return "no scene folder " + dir;
    if (!std::filesystem::is_regular_file(std::filesystem::path(dir) / "test.dat", ec)) {
        return "no scene file " + dir + "/test.dat";
    }
    const auto here = std::filesystem::current_path(ec);
    std::filesystem::current_path(dir, ec);
    if (ec) return "cannot enter " + dir;
    reset_scene(scene);
    scene.load_sounds = load_sounds;
    // The readers end the process on bad input; here their message is printed and the folder's
    // state restored, so the caller can say what failed and no table is touched.
    const FatalHandler previous = set_fatal_handler(throw_fatal_handler);
    std::string error;
    try {
        read_scene_file("test.dat", scene);
        if (!extra.empty()) read_scene_file(extra, scene);
    } catch (const FatalInputError&) {
        error = "the scene in " + dir + " cannot be read (see the message above)";
    }
    set_fatal_handler(previous);
    std::filesystem::current_path(here, ec);
    return error;
}

std::vector<double> lightning_cell_costs(const Scene& scene, const TableOptions& o) {
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene.lightning, scene.cloud);
    if (!lightning_grid_usable(lgrid) || scene.cloud.grd_density.empty()) return {};
    const CloudGrid& grid = scene.cloud;
    const CoarseCloud coarse = make_coarse_cloud(grid.grd_density, grid.grd_numx, grid.grd_numy,
                                                 grid.grd_numz, grid.dscl, grid.grd_size, grid.optical[0]);
    const TransportMedium medium = make_transport_medium(coarse, grid.optical[1], grid.optical[2]);
    return cell_costs(medium, lightning_cell_sources(lgrid, grid), o, o.threads);
}

std::vector<SourceBox> lightning_cell_sources(const LightningGrid& g, const CloudGrid& cloud) {
    std::vector<SourceBox> out(static_cast<size_t>(std::max(lightning_cell_count(g), 0)));
    const double base = cloud.cloud_box[2], ground = g.box_low.z;
    const Vec3 o = cloud.grd_origin;
    for (int32_t iz = 0; iz < g.lgrid_nz; ++iz) {
        double lo = std::max(static_cast<double>(g.lgrid_z[static_cast<size_t>(iz)]), ground);
        double hi = g.lgrid_z[static_cast<size_t>(iz) + 1];
        if (lo < base && base < hi) hi = base;
        if (hi < lo) hi = lo;
        for (int32_t iy = 0; iy < g.lgrid_ny; ++iy) {
            for (int32_t ix = 0; ix < g.lgrid_nx; ++ix) {
                SourceBox& b = out[static_cast<size_t>((iz * g.lgrid_ny + iy) * g.lgrid_nx + ix)];
                b.lo = {g.box_low.x + ix * static_cast<double>(g.cell_dx) - o.x,
                        g.box_low.y + iy * static_cast<double>(g.cell_dy) - o.y, lo - o.z};
                b.hi = {b.lo[0] + g.cell_dx, b.lo[1] + g.cell_dy, hi - o.z};
            }
        }
    }
    return out;
}

double reference_radiance(const std::vector<double>& field) {
    const PhaseScores& any = phase_scores(0.0);  // the footprints do not depend on g
    double sum = 0.0, sum2 = 0.0;
    for (size_t c = 0; c + kDirCount <= field.size(); c += kDirCount) {
        double power = 0.0;
        for (int32_t d = 0; d < kDirCount; ++d) power += any.footprint[d] * field[c + static_cast<size_t>(d)];
        sum += power;
        sum2 += power * power;
    }
    return sum > 0.0 ? sum2 / sum / (4.0 * 3.141592653589793) : 0.0;
}

std::string bake_scene_tables(const std::string& dir, const Scene& scene, const TableOptions& o,
                              TableReport& report) {
    const auto t0 = Clock::now();
    report = TableReport{};
    const CloudGrid& grid = scene.cloud;
    if (grid.grd_numx <= 0 || grid.grd_density.empty()) return "the scene has no cloud section";
    if (scene.lightning.sections_read <= 0) return "the scene has no lightning section";
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene.lightning, grid);
    if (!lightning_grid_usable(lgrid)) {
        return "the lightning grid has no layers (the cloud reaches down to the ground or the lightning "
               "domain is empty)";
    }
    const int32_t n[3] = {grid.dcl_numx, grid.dcl_numy, grid.dcl_numz};
    for (int k = 0; k < 3; ++k) {
        if (!is_power_of_two(n[k])) {
            return "the coarse grid is " + std::to_string(n[0]) + " x " + std::to_string(n[1]) + " x " +
                   std::to_string(n[2]) +
                   " cells; each size must be a power of two (choose dscl so that the " +
                   "fine sizes divided by it are)";
        }
    }
    const double ext = grid.optical[0], albedo = grid.optical[1], g = grid.optical[2];
    if (!(ext >= 0.0) || !std::isfinite(ext)) return "the cloud's extinction must be 0 or more";
    if (!(albedo >= 0.0 && albedo <= 1.0)) return "the cloud's albedo must lie between 0 and 1";
    if (!(std::fabs(g) < 1.0)) return "the cloud's asymmetry g must lie strictly between -1 and 1";
    if (o.paths < 1) return "-paths must be at least 1";
    if (o.coeffs < 1) return "-coeffs must be at least 1";

    const int32_t cells = lightning_cell_count(lgrid);
    const int64_t m = static_cast<int64_t>(n[0]) * n[1] * n[2];
    report.lightning_cells = cells;
    report.coarse_cells = static_cast<int32_t>(m);
    std::vector<char> wanted(static_cast<size_t>(cells), o.cells.empty() ? 1 : 0);
    for (const auto& [a, b] : o.cells) {
        if (b >= cells) {
            return "-cells: cell " + std::to_string(b) + " is out of range (the lightning grid has " +
                   std::to_string(cells) + " cells, 0 to " + std::to_string(cells - 1) + ")";
        }
        for (int64_t k = a; k <= b; ++k) wanted[static_cast<size_t>(k)] = 1;
    }

    const bool budget = o.table_bytes > 0;
    const bool shard = o.shard_count > 0;
    if (budget && shard) {
        return "-table-mb chooses coefficients across the whole table; give it without -shard";
    }
    // The header and every record's count and trailing value are paid whatever is kept.
    const uint64_t fixed_bytes = 12 + static_cast<uint64_t>(cells) * kDirCount * 8;
    if (budget && o.table_bytes < fixed_bytes) {
        return "-table-mb: the table needs at least " + std::to_string(fixed_bytes) +
               " bytes for its header and empty records";
    }
    const int64_t budget_coeffs = budget ? static_cast<int64_t>((o.table_bytes - fixed_bytes) / 8) : 0;
    report.budget = budget;
    report.coeffs = o.coeffs;

    // Memory: the field and score scratch of every worker, the records of the whole table (or the
    // budget's pool, up to twice its size at 12 bytes a candidate) and its assembled copy.
    const int workers = o.threads > 0 ? o.threads : default_worker_count();
    const uint64_t keep = static_cast<uint64_t>(std::min<int64_t>(o.coeffs, m));
    const uint64_t scratch_bytes =
        static_cast<uint64_t>(m) * (kScoreLanes * 4 + 1 + kDirCount * 8 + 8 + 8 * 4);
    const uint64_t record_bytes = budget ? static_cast<uint64_t>(budget_coeffs) * 8 + fixed_bytes
                                         : static_cast<uint64_t>(cells) * kDirCount * (8 * keep + 8);
    const uint64_t pool_bytes = budget ? 3 * static_cast<uint64_t>(budget_coeffs) * 12 +
                                             static_cast<uint64_t>(m) * kDirCount * 12 * workers
                                       : 0;
    const uint64_t need = scratch_bytes * static_cast<uint64_t>(workers) + 2 * record_bytes + pool_bytes;
    if (!fits_in_memory(need)) {
        return "baking these tables would need about " + megabytes(need) + " of memory (" +
               std::to_string(cells) + " lightning cells, " + std::to_string(m) +
               " coarse cells), more than half of this machine's; raise dscl or lower -coeffs or -table-mb";
    }

    const CoarseCloud coarse = make_coarse_cloud(grid.grd_density, grid.grd_numx, grid.grd_numy,
                                                 grid.grd_numz, grid.dscl, grid.grd_size, ext);
    if (coarse.nx != n[0] || coarse.ny != n[1] || coarse.nz != n[2]) {
        return "the viewer's coarse grid differs from the bake's";
    }
    const TransportMedium medium = make_transport_medium(coarse, albedo, g);
    core_depths(medium, report.depth_vertical, report.depth_across);
    const std::vector<SourceBox> sources = lightning_cell_sources(lgrid, grid);
    if (shard) {
        const std::vector<double> cost = cell_costs(medium, sources, o, workers);
        const std::vector<int32_t> bounds = share_bounds(cost, o.shard_count);
        report.share_first = bounds[static_cast<size_t>(o.shard_index - 1)];
        report.share_end = bounds[static_cast<size_t>(o.shard_index)];
        double total = 0.0, mine = 0.0;
        for (int32_t k = 0; k < cells; ++k) {
            total += cost[static_cast<size_t>(k)];
            if (k >= report.share_first && k < report.share_end) mine += cost[static_cast<size_t>(k)];
        }
        report.share_work = total > 0.0 ? mine / total : 0.0;
        std::fill(wanted.begin(), wanted.end(), 0);
        for (int32_t k = report.share_first; k < report.share_end; ++k) wanted[static_cast<size_t>(k)] = 1;
        if (!o.quiet) {
            std::printf(
                "  shard %d of %d: lightning cells %d to %d (%d cells, %.1f %% of the expected work)\n",
                o.shard_index, o.shard_count, report.share_first, report.share_end - 1,
                report.share_end - report.share_first, 100.0 * report.share_work);
        }
    }
    if (!o.quiet) {
        std::printf("  lightning grid %d x %d x %d = %d cells, coarse grid %d x %d x %d = %lld cells\n",
                    lgrid.lgrid_nx, lgrid.lgrid_ny, lgrid.lgrid_nz, cells, n[0], n[1], n[2],
                    static_cast<long long>(m));
        std::printf(
            "  optics: extinction %g per unit at density 1, albedo %g, g %g; optical depth through the "
            "core %.1f vertically, %.1f across\n",
            ext, albedo, g, report.depth_vertical, report.depth_across);
        if (o.scattering == Scattering::kMultiple) {
            std::printf("  all scattering orders: %lld random walks per lightning cell\n",
                        static_cast<long long>(o.paths));
        } else {
            std::printf("  single scattering only\n");
        }
        if (budget) {
            std::printf("  size budget %s: %lld coefficients chosen across all records\n",
                        megabytes(o.table_bytes).c_str(), static_cast<long long>(budget_coeffs));
        }
        std::fflush(stdout);
    }

    // The table's scale: the reference strike's light-weighted mean radiance comes out at
    // kReferenceLevel through the viewer's own mapping. Its cells are traced with walks of their own
    // (kCalibrationPaths from kCalibrationSeed), so the scale is the same whichever cells, seed and
    // -paths this run bakes.
    const size_t field_size = static_cast<size_t>(m) * kDirCount;
    const auto ref = reference_strike_cells(scene);
    const bool physical = o.physical_display || scene.cloud.shading.physical;
    const std::vector<double> inv_sigma_s = physical ? per_unit_scattering(scene) : std::vector<double>{};
    std::vector<double> strike(field_size, 0.0);
    {
        std::vector<std::vector<double>> ref_fields(ref.size());
        TableOptions calibration = o;
        calibration.paths = kCalibrationPaths;
        calibration.seed = kCalibrationSeed;
        parallel_for(static_cast<int>(ref.size()), workers, [&](int i) {
            thread_local TransportScratch scratch;
            const int32_t k = ref[static_cast<size_t>(i)].first;
            cell_field(medium, sources[static_cast<size_t>(k)], calibration, k, scratch,
                       ref_fields[static_cast<size_t>(i)]);
            if (physical) to_in_scattering(ref_fields[static_cast<size_t>(i)], inv_sigma_s);
        });
        // Summed in cell order so the scale does not depend on the scheduling.
        for (size_t i = 0; i < ref.size(); ++i) {
            for (size_t j = 0; j < field_size; ++j) strike[j] += ref[i].second * ref_fields[i][j];
        }
        report.reference_radiance = reference_radiance(strike);
        report.reference_peak = strike.empty() ? 0.0 : *std::max_element(strike.begin(), strike.end());
    }
    const Vec3 e = scene.lightning.emission_colour, c = scene.lightning.channel_colour;
    const double per_length = e.x * c.x + e.y * c.y + e.z * c.z;
    const double share = per_length > 0.0 ? std::max({e.x * c.x, e.y * c.y, e.z * c.z}) / per_length : 1.0;
    report.table_scale = table_scale_for_peak(report.reference_radiance, share, grid.gamma_inv,
                                              grid.light_scale, kReferenceLevel);
    DisplayCurve curve;
    curve.gamma_inv = grid.gamma_inv;
    curve.light_scale = grid.light_scale;
    curve.share = share;
    if (physical) use_physical_display(curve, scene, report.table_scale, inv_sigma_s);
    report.reference_peak = display_value(curve, report.reference_peak * report.table_scale / 1e9);

    // Every wanted cell: its field, then its records (or its candidates for the budget) at once, so only
    // the compressed records stay in memory. The reference strike's coefficients are kept for the
    // report's display error.
    std::vector<int32_t> todo;
    for (int32_t k = 0; k < cells; ++k) {
        if (wanted[static_cast<size_t>(k)]) todo.push_back(k);
    }
    std::vector<std::vector<float>> ref_coeffs(ref.size());
    std::vector<std::vector<uint8_t>> records(static_cast<size_t>(cells));
    std::vector<double> kept(static_cast<size_t>(cells), 0.0);
    std::vector<TransportStats> stats(static_cast<size_t>(cells));
    BudgetPool pool;
    pool.keep = budget_coeffs;
    if (budget) pool.records.resize(static_cast<size_t>(cells) * kDirCount);
    // Energy kept and in all, per record under a budget, summed over the table with -coeffs.
    std::vector<double> record_energy(budget ? static_cast<size_t>(cells) * kDirCount : 0, 0.0);
    double table_energy[2] = {0.0, 0.0};
    std::atomic<int> done{0};
    std::mutex print_lock, pool_lock;
    double last_print = 0.0;
    const auto t_cells = Clock::now();
    parallel_for(static_cast<int>(todo.size()), workers, [&](int i) {
        // Per-thread buffers: a field of the demo is megabytes, and allocating it per cell costs more
        // than many of the cells' walks.
        thread_local TransportScratch scratch;
        thread_local std::vector<double> field;
        const int32_t k = todo[static_cast<size_t>(i)];
        stats[static_cast<size_t>(k)] =
            cell_field(medium, sources[static_cast<size_t>(k)], o, k, scratch, field);
        if (physical) to_in_scattering(field, inv_sigma_s);
        std::vector<float>* ref_copy = nullptr;
        for (size_t r = 0; r < ref.size(); ++r) {
            if (ref[r].first == k) ref_copy = &ref_coeffs[r];
        }
        if (ref_copy) ref_copy->resize(field_size);
        if (budget) {
            // The record's light in the viewer's units: as if a channel crossed the cell top to bottom.
            const SourceBox& b = sources[static_cast<size_t>(k)];
            const double unit = report.table_scale / 1e9 * per_length * (b.hi[2] - b.lo[2]);
            thread_local std::vector<float> one, coeffs;
            thread_local std::vector<Coefficient> candidates[kDirCount];
            double energy[kDirCount] = {};
            const double threshold = [&] {
                std::lock_guard<std::mutex> hold(pool_lock);
                return pool.threshold;
            }();
            for (int32_t d = 0; d < kDirCount; ++d) {
                one.resize(static_cast<size_t>(m));
                for (size_t q = 0; q < static_cast<size_t>(m); ++q)
                    one[q] = static_cast<float>(field[q * kDirCount + static_cast<size_t>(d)]);
                coeffs = one;
                forward_haar_3d(coeffs.data(), coarse.nx, coarse.ny, coarse.nz);
                if (ref_copy) std::copy(coeffs.begin(), coeffs.end(), ref_copy->begin() + d * m);
                candidates[d].clear();
                record_candidates(one, coeffs, coarse, unit, curve, threshold, candidates[d], energy[d]);
            }
            std::lock_guard<std::mutex> hold(pool_lock);
            for (int32_t d = 0; d < kDirCount; ++d)
                record_energy[static_cast<size_t>(k) * kDirCount + static_cast<size_t>(d)] = energy[d];
            for (int32_t d = 0; d < kDirCount; ++d)
                add_to_pool(pool, static_cast<size_t>(k) * kDirCount + static_cast<size_t>(d), candidates[d]);
        } else {
            if (ref_copy) {
                std::vector<float> one(static_cast<size_t>(m));
                for (int32_t d = 0; d < kDirCount; ++d) {
                    for (size_t q = 0; q < static_cast<size_t>(m); ++q)
                        one[q] = static_cast<float>(field[q * kDirCount + static_cast<size_t>(d)]);
                    forward_haar_3d(one.data(), coarse.nx, coarse.ny, coarse.nz);
                    std::copy(one.begin(), one.end(), ref_copy->begin() + d * m);
                }
            }
            double energy[2] = {0.0, 0.0};
            records[static_cast<size_t>(k)] = cell_records(field, coarse, o.coeffs, report.table_scale,
                                                           kept[static_cast<size_t>(k)], energy);
            std::lock_guard<std::mutex> hold(pool_lock);
            table_energy[0] += energy[0];
            table_energy[1] += energy[1];
        }
        const int finished = done.fetch_add(1) + 1;
        if (o.quiet) return;
        std::lock_guard<std::mutex> hold(print_lock);
        const double t = seconds_since(t_cells);
        if (t - last_print < kProgressEvery && finished != static_cast<int>(todo.size())) return;
        last_print = t;
        const double rate = finished / std::max(t, 1e-9);
        std::printf("  lightning cells %d/%zu  %.1f cells/s  %.0f s left\n", finished, todo.size(), rate,
                    (static_cast<double>(todo.size()) - finished) / rate);
        std::fflush(stdout);
    });
    report.transport_seconds = seconds_since(t_cells);
    for (const TransportStats& st : stats) report.transport.add(st);

    if (budget) {
        finish_pool(pool);
        for (int32_t k = 0; k < cells; ++k) {
            if (!wanted[static_cast<size_t>(k)]) continue;
            ByteWriter w;
            double share = 0.0;
            for (int32_t d = 0; d < kDirCount; ++d) {
                const size_t r = static_cast<size_t>(k) * kDirCount + static_cast<size_t>(d);
                const auto& rec = pool.records[r];
                w.i32(static_cast<int32_t>(rec.size()));
                for (const Coefficient& q : rec) w.i32(q.index);
                double energy = 0.0;
                for (const Coefficient& q : rec) {
                    w.f32(static_cast<float>(q.value * report.table_scale));
                    energy += static_cast<double>(q.value) * q.value;
                }
                w.f32(0.0f);
                table_energy[0] += energy;
                table_energy[1] += record_energy[r];
                share += record_energy[r] > 0.0 ? energy / record_energy[r] : 1.0;
            }
            kept[static_cast<size_t>(k)] = share / kDirCount;
            records[static_cast<size_t>(k)] = std::move(w.bytes);
        }
        std::vector<std::vector<Coefficient>>().swap(pool.records);
    }
    reference_display_errors(ref, ref_coeffs, records, strike, coarse, o.coeffs, report.table_scale, curve,
                             report);
    std::vector<double>().swap(strike);

    ByteWriter out;
    out.i32(cells);
    out.i32(static_cast<int32_t>(m));
    out.i32(kDirCount);
    ByteWriter empty;
    for (int32_t d = 0; d < kDirCount; ++d) {
        empty.i32(0);
        empty.f32(0.0f);
    }
    size_t total = out.bytes.size();
    for (const auto& r : records) total += r.empty() ? empty.bytes.size() : r.size();
    out.bytes.reserve(total);
    double kept_sum = 0.0;
    for (int32_t k = 0; k < cells; ++k) {
        std::vector<uint8_t>& r = records[static_cast<size_t>(k)];
        if (r.empty()) {
            out.raw(empty.bytes.data(), empty.bytes.size());
            continue;
        }
        ++report.cells_baked;
        kept_sum += kept[static_cast<size_t>(k)];
        out.raw(r.data(), r.size());
        std::vector<uint8_t>().swap(r);
    }
    report.kept_energy = report.cells_baked > 0 ? kept_sum / report.cells_baked : 1.0;
    report.kept_energy_table = table_energy[1] > 0.0 ? table_energy[0] / table_energy[1] : 1.0;
    report.table_file = dir + "/basic_intensity_cmp.dat";
    if (shard) {
        ShardTrailer t;
        t.index = o.shard_index;
        t.count = o.shard_count;
        t.first = report.share_first;
        t.end = report.share_end;
        t.seed = o.seed;
        t.cells = cells;
        t.coarse = static_cast<int32_t>(m);
        t.dirs = kDirCount;
        t.checksum = inputs_checksum(scene, lgrid, o);
        t.table_bytes = out.bytes.size();
        const std::vector<uint8_t> trailer = shard_trailer_bytes(t);
        out.raw(trailer.data(), trailer.size());
        report.table_file = !o.shard_file.empty()
                                ? o.shard_file
                                : dir + "/basic_intensity_cmp.dat." + std::to_string(o.shard_index) + "-of-" +
                                      std::to_string(o.shard_count);
    }
    std::string error;
    if (!write_or_fail(report.table_file, out.bytes, error)) return error;
    report.table_bytes = out.bytes.size();
    std::vector<uint8_t>().swap(out.bytes);
    // Shards after the first leave the attenuation table to the first, so parallel shards never write
    // the same file.
    if (shard && o.shard_index != 1) {
        report.seconds = seconds_since(t0);
        return "";
    }

    // The sun and the sky at the exposure a physical scene of this table gets: computed, not read from the
    // scene file, so a scene baked before its shading section was written gets the same bytes.
    error = bake_ambient_table(dir, scene, medium, physical_exposure(report.table_scale, scene), o.paths,
                               o.seed, workers, o.quiet, report.ambient);
    if (!error.empty()) return error;
    report.ambient_written = true;
    report.ambient_bytes =
        static_cast<uint64_t>(kAmbientHeaderBytes) + static_cast<uint64_t>(m) * kDirCount * sizeof(Vec3);

    // The attenuation table: written while it stays small; otherwise an old one is removed, since its
    // sizes would override the scene's coarse grid and make the viewer refuse the new table.
    const uint64_t genk_size = 12 + static_cast<uint64_t>(m) * static_cast<uint64_t>(m);
    const std::string genk_path = dir + "/genk.tbl";
    if (genk_size <= kMaxWrittenGenkBytes) {
        if (!write_or_fail(genk_path, genk_file_bytes(coarse, workers, false), error)) return error;
        report.genk_written = true;
        report.genk_bytes = genk_size;
    } else {
        std::error_code ec;
        const bool removed = std::filesystem::remove(genk_path, ec);
        if (!o.quiet) {
            std::printf(
                "  genk.tbl left out: it would be %s (%lld coarse cells squared); the viewer keeps the "
                "cloud section's coarse grid%s\n",
                megabytes(genk_size).c_str(), static_cast<long long>(m),
                removed ? "; the old genk.tbl was removed" : "");
        }
    }
    report.seconds = seconds_since(t0);
    return "";
}
