// vintrel-bake.cpp -- writes the demo storm scene with its precomputed lighting tables
#include <cstdio>
#include <string>
#include <vector>

#include "tools/bake/bake.h"
#include "tools/bake/bake_options.h"

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
    std::printf(
        "baking the demo storm into %s: grid %d x %d x %d, dscl %d, seed %u, %d coefficients per record\n",
        options.out_dir.c_str(), options.grid_nx, options.grid_ny, options.grid_nz, options.dscl,
        options.seed, options.coeffs);
    std::fflush(stdout);
    BakeReport report;
    const std::string failure = run_bake(options, report);
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
    std::printf("coarse cells %d, lightning cells %d, table scale %.6g, energy kept per record %.2f %%\n",
                report.coarse_cells, report.lightning_cells, report.table_scale, 100.0 * report.kept_energy);
    std::printf("bake time: %.1f s\n", report.seconds);
    return 0;
}
