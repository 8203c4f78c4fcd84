// bake_options.cpp -- the bake tool's command line
#include "tools/bake/bake_options.h"

#include <cerrno>
#include <cstdlib>

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
    return "usage: vintrel-bake DIR [options]\n"
           "  Writes the demo storm scene into DIR (created when missing); run the viewer in DIR.\n"
           "  -grid NX NY NZ  fine cloud grid cells (default 128 128 64)\n"
           "  -dscl N         fine cells per coarse cell along each axis, even (default 8);\n"
           "                  NX/N, NY/N and NZ/N must be powers of two\n"
           "  -seed N         seed of the cloud, town and sounds (default 1)\n"
           "  -coeffs N       wavelet coefficients kept per table record (default 96)\n"
           "  -threads N      worker threads (default: all cores)\n"
           "  -night          no sky dome: a black sky that flashes with each strike\n"
           "  -quiet          no progress lines\n"
           "  -help           this text\n";
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
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        int64_t v = 0;
        std::string err;
        if (a == "-help" || a == "--help" || a == "-h") {
            o.help = true;
            return "";
        } else if (a == "-grid") {
            int64_t n[3];
            for (int k = 0; k < 3 && err.empty(); ++k) err = value("-grid", 1, 4096, n[k]);
            if (err.empty()) {
                o.grid_nx = static_cast<int32_t>(n[0]);
                o.grid_ny = static_cast<int32_t>(n[1]);
                o.grid_nz = static_cast<int32_t>(n[2]);
            }
        } else if (a == "-dscl") {
            err = value("-dscl", 1, 4096, v);
            o.dscl = static_cast<int32_t>(v);
        } else if (a == "-seed") {
            err = value("-seed", 0, 4294967295LL, v);
            o.seed = static_cast<uint32_t>(v);
        } else if (a == "-coeffs") {
            err = value("-coeffs", 1, 1 << 24, v);
            o.coeffs = static_cast<int32_t>(v);
        } else if (a == "-threads") {
            err = value("-threads", 1, 256, v);
            o.threads = static_cast<int32_t>(v);
        } else if (a == "-night") {
            o.sky_dome = false;
        } else if (a == "-quiet") {
            o.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.out_dir.empty()) {
            o.out_dir = a;
        } else {
            return "only one output folder may be given (got '" + o.out_dir + "' and '" + a + "')";
        }
        if (!err.empty()) return err;
    }
    if (o.out_dir.empty()) return "no output folder given";
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
    const int64_t m = static_cast<int64_t>(n[0] / o.dscl) * (n[1] / o.dscl) * (n[2] / o.dscl);
    if (m * m > kMaxGenkTableBytes) {
        return "the coarse grid has " + std::to_string(m) + " cells; its attenuation table would be " +
               std::to_string((m * m) >> 20) + " MB, more than the viewer accepts: raise -dscl";
    }
    return "";
}
