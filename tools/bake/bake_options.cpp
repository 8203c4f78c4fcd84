// bake_options.cpp -- the bake tool's command line
#include "tools/bake/bake_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "tools/bake/table/shards.h"

namespace {

bool is_power_of_two(int64_t n) { return n > 0 && (n & (n - 1)) == 0; }

// Whole-string decimal integer within [lo, hi].
bool parse_int(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

std::string bake_usage() {
    return "usage: vintrel-bake DIR [options]             the demo storm, into DIR (created when missing)\n"
           "       vintrel-bake -tables SCENE_DIR [options]  the lighting tables of an existing scene\n"
           "       vintrel-bake -merge OUT FILE...           one table from the shard files of a bake\n"
           "       vintrel-bake -cloud FILE DIR [options]    a storm scene round your cloud: FILE is an\n"
           "                      OpenVDB file (.vdb, a float density grid) or a grid file (.grd)\n"
           "       vintrel-bake -export-vdb SCENE_DIR OUT.vdb  the scene's cloud as an OpenVDB fog volume\n"
           "  Run the viewer in the folder afterwards.\n"
           "Cloud options (-cloud):\n"
           "  -grid NAME          the VDB grid to use (default: \"density\", else the first float grid)\n"
           "  -cells-across N     fine cells along the cloud's longest side, a power of two (default 128;\n"
           "                      a grid file or a VDB from -export-vdb keeps its own size)\n"
           "  -height METRES      the cloud's vertical extent, for files whose units are not metres\n"
           "                      (default: from the file; 8000 for a grid file)\n"
           "  -no-town            no buildings under the cloud\n"
           "  -dscl N, -night, -flash  as for the demo\n"
           "Demo options:\n"
           "  -grid NX NY NZ      fine cloud grid cells (default 128 128 64)\n"
           "  -dscl N             fine cells per coarse cell along each axis, even (default 4);\n"
           "                      NX/N, NY/N and NZ/N must be powers of two\n"
           "  -night              no sky dome: a black sky that flashes with each strike\n"
           "  -flash strokes|single  each strike a flash of several return strokes that flickers over\n"
           "                      frames (default), or one frame of light as in older scenes\n"
           "Table options (both forms):\n"
           "  -f FILE             with -tables: scene file read after SCENE_DIR/test.dat, as the viewer's "
           "-f\n"
           "  -scattering single|multiple\n"
           "                      light of all scattering orders (default multiple) or of the first only\n"
           "  -paths N            random walks per lightning cell for multiple scattering (default 4096)\n"
           "  -cells LIST         bake only these lightning cells, e.g. 0-99,140 (default all); the\n"
           "                      others get empty records\n"
           "  -shard I/N          with -tables: bake the I-th of N shares of the lightning cells, balanced\n"
           "                      by expected work, into a shard file for -merge\n"
           "  -o FILE             the shard file (default SCENE_DIR/basic_intensity_cmp.dat.I-of-N)\n"
           "  -coeffs N           wavelet coefficients kept per table record (default 96), when no\n"
           "                      -table-mb is given\n"
           "  -table-mb N         the table's size in MiB (decimals allowed): the coefficients whose loss\n"
           "                      would show most after the display curve are kept across all records\n"
           "                      (default 136 for the demo and -cloud unless -coeffs is given; none\n"
           "                      with -tables; 0: none)\n"
           "  -seed N             seed of the cloud, town, sounds and random walks (default 1)\n"
           "  -threads N          worker threads (default: all cores)\n"
           "  -quiet              no progress lines\n"
           "  -help               this text\n";
}

std::string parse_bake_options(const std::vector<std::string>& args, BakeOptions& o) {
    size_t i = 0;
    auto value = [&](const std::string& option, int64_t lo, int64_t hi, int64_t& out) -> std::string {
        if (i + 1 >= args.size()) return option + " needs a value";
        ++i;
        if (!parse_int(args[i], lo, hi, out)) {
            return option + ": '" + args[i] + "' is not a whole number from " + std::to_string(lo) + " to " +
                   std::to_string(hi);
        }
        return "";
    };
    auto word = [&](const std::string& option, std::string& out) -> std::string {
        if (i + 1 >= args.size()) return option + " needs a value";
        out = args[++i];
        return "";
    };
    std::vector<std::string> demo_only, cloud_only;
    bool scene_file_given = false, shard_given = false;
    // With -cloud, -grid names a VDB grid instead of giving the demo's three sizes.
    const bool cloud_mode = std::find(args.begin(), args.end(), "-cloud") != args.end();
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        int64_t v = 0;
        std::string err, text;
        if (a == "-help" || a == "--help" || a == "-h") {
            o.help = true;
            return "";
        } else if (a == "-tables") {
            err = word("-tables", text);
            if (err.empty() && !o.out_dir.empty()) return "give either DIR or -tables SCENE_DIR, not both";
            o.tables_only = true;
            o.out_dir = text;
        } else if (a == "-merge") {
            err = word("-merge", o.merge_out);
            for (++i; err.empty() && i < args.size(); ++i) {
                if (args[i] == "-quiet") {
                    o.quiet = true;
                } else if (!args[i].empty() && args[i][0] == '-') {
                    return "-merge takes OUT and the shard files only (got " + args[i] + ")";
                } else {
                    o.merge_files.push_back(args[i]);
                }
            }
            if (!err.empty()) return err;
            if (o.merge_files.empty()) return "-merge needs OUT and at least one shard file";
            if (!o.out_dir.empty() || o.tables_only) return "-merge cannot be combined with a bake";
            return "";
        } else if (a == "-shard") {
            err = word("-shard", text);
            if (err.empty()) err = parse_shard(text, o.shard_index, o.shard_count);
            shard_given = true;
        } else if (a == "-o") {
            err = word("-o", o.shard_file);
        } else if (a == "-f") {
            err = word("-f", o.scene_file);
            scene_file_given = true;
        } else if (a == "-cloud") {
            err = word("-cloud", o.cloud_file);
        } else if (a == "-grid" && cloud_mode) {
            err = word("-grid", o.cloud_grid);
        } else if (a == "-cells-across") {
            err = value("-cells-across", 8, 2048, v);
            o.cells_across = static_cast<int32_t>(v);
            cloud_only.push_back(a);
        } else if (a == "-height") {
            err = word("-height", text);
            if (err.empty()) {
                char* end = nullptr;
                o.height_m = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !std::isfinite(o.height_m) || o.height_m <= 0.0) {
                    return "-height: '" + text + "' is not a height in metres above 0";
                }
            }
            cloud_only.push_back(a);
        } else if (a == "-no-town") {
            o.town = false;
            cloud_only.push_back(a);
        } else if (a == "-export-vdb") {
            if (i + 2 >= args.size()) return "-export-vdb needs a scene folder and an output file";
            if (!o.out_dir.empty()) return "-export-vdb takes its own scene folder; give no other folder";
            o.out_dir = args[++i];
            o.export_file = args[++i];
        } else if (a == "-grid") {
            int64_t n[3];
            for (int k = 0; k < 3 && err.empty(); ++k) err = value("-grid", 1, 4096, n[k]);
            if (err.empty()) {
                o.grid_nx = static_cast<int32_t>(n[0]);
                o.grid_ny = static_cast<int32_t>(n[1]);
                o.grid_nz = static_cast<int32_t>(n[2]);
            }
            demo_only.push_back(a);
        } else if (a == "-dscl") {
            err = value("-dscl", 1, 4096, v);
            o.dscl = static_cast<int32_t>(v);
            demo_only.push_back(a);
        } else if (a == "-seed") {
            err = value("-seed", 0, 4294967295LL, v);
            o.seed = static_cast<uint32_t>(v);
        } else if (a == "-coeffs") {
            err = value("-coeffs", 1, 1 << 24, v);
            o.coeffs = static_cast<int32_t>(v);
            o.coeffs_given = true;
        } else if (a == "-table-mb") {
            err = word("-table-mb", text);
            if (err.empty()) {
                char* end = nullptr;
                o.table_mb = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !std::isfinite(o.table_mb) || o.table_mb < 0.0 ||
                    o.table_mb > 1e6) {
                    return "-table-mb: '" + text + "' is not a size in MiB from 0 to 1000000";
                }
            }
        } else if (a == "-paths") {
            err = value("-paths", 1, int64_t{1} << 40, v);
            o.paths = v;
        } else if (a == "-scattering") {
            err = word("-scattering", text);
            if (err.empty()) {
                if (text == "single") {
                    o.scattering = Scattering::kSingle;
                } else if (text == "multiple") {
                    o.scattering = Scattering::kMultiple;
                } else {
                    return "-scattering: '" + text + "' is neither single nor multiple";
                }
            }
        } else if (a == "-cells") {
            err = word("-cells", text);
            if (err.empty()) err = parse_cell_ranges(text, o.cells);
        } else if (a == "-threads") {
            err = value("-threads", 1, 256, v);
            o.threads = static_cast<int32_t>(v);
        } else if (a == "-night") {
            o.sky_dome = false;
            demo_only.push_back(a);
        } else if (a == "-flash") {
            err = word("-flash", text);
            if (err.empty()) {
                if (text != "strokes" && text != "single")
                    return "-flash: '" + text + "' is neither strokes nor single";
                o.flash_strokes = text == "strokes";
            }
            demo_only.push_back(a);
        } else if (a == "-quiet") {
            o.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.out_dir.empty()) {
            o.out_dir = a;
        } else {
            return "only one folder may be given (got '" + o.out_dir + "' and '" + a + "')";
        }
        if (!err.empty()) return err;
    }
    if (o.out_dir.empty()) return o.tables_only ? "-tables needs a scene folder" : "no output folder given";
    if (!o.export_file.empty()) {
        if (o.tables_only || !o.cloud_file.empty()) {
            return "-export-vdb goes alone, without -tables or -cloud";
        }
        return "";
    }
    if (!cloud_only.empty() && o.cloud_file.empty()) return cloud_only.front() + " only applies to -cloud";
    if (!o.cloud_file.empty()) {
        if (o.tables_only) return "give either -cloud FILE DIR or -tables SCENE_DIR, not both";
        if (scene_file_given) return "-f only applies to -tables";
        if (o.dscl % 2 != 0) return "-dscl must be even (the viewer expects it)";
        if (!is_power_of_two(o.dscl)) return "-dscl must be a power of two with -cloud";
        const int32_t across = o.cells_across > 0 ? o.cells_across : 0;
        if (across > 0 && !is_power_of_two(across)) return "-cells-across must be a power of two";
        if (across > 0 && (across % o.dscl != 0 || !is_power_of_two(across / o.dscl))) {
            return "-cells-across / -dscl must be a power of two (the Haar transform needs it)";
        }
        return "";
    }
    if (o.tables_only) {
        if (!demo_only.empty()) return demo_only.front() + " only applies to the demo, not to -tables";
        if (shard_given && !o.cells.empty()) return "-shard and -cells cannot be combined";
        if (!o.shard_file.empty() && !shard_given) return "-o names a shard file: give -shard I/N too";
        return "";
    }
    if (shard_given || !o.shard_file.empty()) return "-shard and -o only apply to -tables";
    if (scene_file_given) return "-f only applies to -tables";
    if (o.dscl % 2 != 0) return "-dscl must be even (the viewer expects it)";
    const int32_t n[3] = {o.grid_nx, o.grid_ny, o.grid_nz};
    const char* axis[3] = {"NX", "NY", "NZ"};
    for (int k = 0; k < 3; ++k) {
        if (n[k] % o.dscl != 0) return std::string("-grid ") + axis[k] + " must be a multiple of -dscl";
        if (!is_power_of_two(n[k] / o.dscl)) {
            return std::string("-grid ") + axis[k] +
                   " / -dscl must be a power of two (the Haar transform needs it)";
        }
    }
    return "";
}

TableOptions table_options(const BakeOptions& o) {
    TableOptions t;
    t.coeffs = o.coeffs;
    const double mb = o.table_mb >= 0.0 ? o.table_mb : (o.tables_only || o.coeffs_given ? 0.0 : kDemoTableMb);
    t.table_bytes = static_cast<uint64_t>(mb * 1024.0 * 1024.0);
    t.paths = o.paths;
    t.scattering = o.scattering;
    t.cells = o.cells;
    t.seed = o.seed;
    t.threads = o.threads;
    t.quiet = o.quiet;
    t.shard_index = o.shard_index;
    t.shard_count = o.shard_count;
    t.shard_file = o.shard_file;
    return t;
}
