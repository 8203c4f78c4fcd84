// vintrel-bake.cpp -- writes the demo storm scene with its precomputed lighting tables
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/bake/bake.h"
#include "tools/bake/bake_options.h"
#include "tools/bake/import/cloud_import.h"

int main(int argc, char** argv) {
    BakeOptions options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string error = parse_bake_options(args, options);
    if (options.help) {
        std::fputs(bake_usage().c_str(), stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "vintrel-bake: %s\n%s", error.c_str(), bake_usage().c_str());
        return 1;
    }
    if (!options.merge_out.empty()) {
        BakeReport report;
        const std::string failure = run_bake(options, report);
        if (!failure.empty()) {
            std::fprintf(stderr, "vintrel-bake: %s\n", failure.c_str());
            return 1;
        }
        return 0;
    }
    if (!options.export_file.empty()) {
        BakeReport report;
        const std::string failure = run_vdb_export(options, report);
        if (!failure.empty()) {
            std::fprintf(stderr, "vintrel-bake: %s\n", failure.c_str());
            return 1;
        }
        std::printf("wrote the cloud of %s to %s (%llu bytes)\n", options.out_dir.c_str(),
                    options.export_file.c_str(), static_cast<unsigned long long>(report.files.front().bytes));
        return 0;
    }
    if (!options.cloud_file.empty()) {
        std::printf("baking a storm scene round %s into %s: seed %u, %d coefficients per record\n",
                    options.cloud_file.c_str(), options.out_dir.c_str(), options.seed, options.coeffs);
    } else if (options.tables_only) {
        std::printf("baking the lighting tables of %s%s%s: seed %u, %d coefficients per record\n",
                    options.out_dir.c_str(), options.scene_file.empty() ? "" : " with ",
                    options.scene_file.c_str(), options.seed, options.coeffs);
    } else {
        std::printf(
            "baking the demo storm into %s: grid %d x %d x %d, dscl %d, seed %u, %d coefficients per "
            "record\n",
            options.out_dir.c_str(), options.grid_nx, options.grid_ny, options.grid_nz, options.dscl,
            options.seed, options.coeffs);
    }
    std::fflush(stdout);
    BakeReport report;
    const std::string failure =
        options.cloud_file.empty() ? run_bake(options, report) : run_cloud_bake(options, report);
    if (!failure.empty()) {
        std::fprintf(stderr, "vintrel-bake: %s\n", failure.c_str());
        return 1;
    }
    uint64_t total = 0;
    std::printf("wrote into %s:\n", options.out_dir.c_str());
    for (const BakedFile& f : report.files) {
        std::printf("  %-26s %12llu bytes\n", f.name.c_str(), static_cast<unsigned long long>(f.bytes));
        total += f.bytes;
    }
    std::printf("  %-26s %12llu bytes (%.1f MB)\n", "total", static_cast<unsigned long long>(total),
                static_cast<double>(total) / (1024.0 * 1024.0));
    const TableReport& t = report.tables;
    std::printf(
        "coarse cells %d, lightning cells %d (%d baked), energy kept %.2f %% per record (mean), %.2f %% of "
        "the "
        "whole table\n",
        t.coarse_cells, t.lightning_cells, t.cells_baked, 100.0 * t.kept_energy, 100.0 * t.kept_energy_table);
    std::printf(
        "table scale %.6g (the reference strike's light-weighted radiance %.6g shows at %.2f, its brightest "
        "value at %.2f)\n",
        t.table_scale, t.reference_radiance, kReferenceLevel, t.reference_peak);
    if (t.display_error > 0.0 || t.display_error_per_record > 0.0) {
        std::printf(
            "reference strike's display error against its calibration: %.2f grey levels RMS over the "
            "cloud (every coefficient of these walks: %.2f; the per-record rule with -coeffs %d: %.2f)\n",
            t.display_error, t.display_error_all, t.coeffs, t.display_error_per_record);
    }
    if (t.transport.paths > 0) {
        std::printf(
            "random walks %lld, scatterings %lld (%.1f per walk), %.3g scatterings per second; "
            "escaped %.3f, absorbed %.3f of the emitted power\n",
            static_cast<long long>(t.transport.paths), static_cast<long long>(t.transport.collisions),
            static_cast<double>(t.transport.collisions) / static_cast<double>(t.transport.paths),
            static_cast<double>(t.transport.collisions) / std::max(t.transport_seconds, 1e-9),
            t.transport.escaped / t.cells_baked, t.transport.absorbed / t.cells_baked);
        if (t.transport.stopped > 0) {
            std::printf("  %lld walks were stopped after %lld scatterings\n",
                        static_cast<long long>(t.transport.stopped),
                        static_cast<long long>(kMaxCollisionsPerPath));
        }
    }
    std::printf("bake time: %.1f s\n", report.seconds);
    return 0;
}
