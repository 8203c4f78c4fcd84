// strike_export.cpp -- one strike written out for a path tracer: strike.json, render.py and cloud.vdb
#include "app/strike_export.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "lightning/reference_strike.h"
#include "render/sky_light.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kBakeName = "vintrel-bake";
// The scratch folder's name inside DIR; mkdtemp fills the Xs.
constexpr const char* kScratchPattern = ".strike-export-XXXXXX";
// The three files, in the order they are renamed into place (the one a reader opens first comes last).
constexpr const char* kVdbName = "cloud.vdb";
constexpr const char* kScriptName = "render.py";
constexpr const char* kJsonName = "strike.json";

// The shortest decimal text (of at most nine digits) that reads back as the same float.
std::string number(float v) {
    char buf[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(buf, nullptr) == v) break;
    }
    return buf;
}

std::string triple(Vec3 v) { return "[" + number(v.x) + ", " + number(v.y) + ", " + number(v.z) + "]"; }

bool write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// The viewer's own cloud as a one-section scene that vintrel-bake reads as it reads any scene: the grid
// file with the bytes in force and a placement that reproduces grd_origin.
std::string write_cloud_scene(const fs::path& dir, const CloudGrid& g) {
    std::error_code ec;
    fs::create_directory(dir, ec);
    if (ec) return "cannot make " + dir.string() + ": " + ec.message();
    {
        std::ofstream grid(dir / "cloud.grd", std::ios::binary);
        const int32_t n[3] = {g.grd_numx, g.grd_numy, g.grd_numz};
        grid.write(reinterpret_cast<const char*>(n), sizeof n);
        grid.write(reinterpret_cast<const char*>(&g.grd_byte_scale), sizeof g.grd_byte_scale);
        grid.write(reinterpret_cast<const char*>(g.grd_bytes.data()),
                   static_cast<std::streamsize>(g.grd_bytes.size()));
        grid.close();
        if (!grid) return "cannot write " + (dir / "cloud.grd").string();
    }
    // The reader moves the placement down by half the cell counts; adding them back in double gives the
    // same float after its subtraction.
    char text[512];
    std::snprintf(text, sizeof text,
                  "cloud\ncloud.grd 0\n%.9g %.17g %.17g %.17g\n%.9g %.9g %.9g\n%.9g %.9g %.9g\n%d\n",
                  static_cast<double>(g.grd_size), g.grd_origin.x + 0.5 * g.grd_numx,
                  g.grd_origin.y + 0.5 * g.grd_numy, g.grd_origin.z + 0.5 * g.grd_numz,
                  static_cast<double>(g.optical[0]), static_cast<double>(g.optical[1]),
                  static_cast<double>(g.optical[2]), static_cast<double>(g.splat_size),
                  static_cast<double>(g.splat_brightness), static_cast<double>(g.splat_extinction), g.dscl);
    if (!write_text(dir / "test.dat", text)) return "cannot write " + (dir / "test.dat").string();
    return "";
}

// Runs `program args...` with its output in `log`; empty when it exits with status 0, else what it said.
std::string run_child(const std::vector<std::string>& args, const fs::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log_name = log.string();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return "cannot start " + args[0] + ": " + std::strerror(spawned);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return "lost " + args[0] + ": " + std::strerror(errno);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    // Its last line says why.
    std::ifstream in(log);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    return args[0] + " failed" + (last.empty() ? "" : ": " + last);
}

bool is_executable(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && access(p.c_str(), X_OK) == 0;
}

std::string write_all(const fs::path& scratch, const StrikeExport& strike, const CloudGrid& cloud,
                      const std::string& bake_program) {
    if (!write_text(scratch / kJsonName, strike_json(strike)))
        return "cannot write " + (scratch / kJsonName).string();
    if (!write_text(scratch / kScriptName, strike_render_script()))
        return "cannot write " + (scratch / kScriptName).string();
    const fs::path scene = scratch / "scene";
    std::string error = write_cloud_scene(scene, cloud);
    if (!error.empty()) return error;
    const fs::path vdb = scratch / kVdbName;
    error = run_child({bake_program, "-export-vdb", scene.string(), vdb.string()}, scratch / "bake.log");
    if (!error.empty()) return error;
    if (!fs::is_regular_file(vdb)) return bake_program + " wrote no " + vdb.string();
    return "";
}

}  // namespace

StrikeExport make_strike_export(const Camera& camera, const CloudGrid& cloud, const PointSources& sources,
                                int32_t frame) {
    StrikeExport s;
    s.frame = frame;
    s.window[0] = camera.win_width;
    s.window[1] = camera.win_height;
    s.eye = camera.eye;
    s.target = camera.target;
    // As the view is set up: +z up unless a key-view flight rolled the camera.
    s.up = camera.roll == 0.0f ? Vec3{0.0f, 0.0f, 1.0f} : camera.up;
    s.fov_y_deg = camera.fovy;
    s.extinction = cloud.optical[0];
    s.albedo = cloud.optical[1];
    s.g = cloud.optical[2];
    const size_t n = std::min({static_cast<size_t>(std::max(sources.point_source_count, 0)),
                               sources.point_source_pos.size(), sources.point_source_int.size()});
    s.positions.assign(sources.point_source_pos.begin(), sources.point_source_pos.begin() + n);
    s.powers.assign(sources.point_source_int.begin(), sources.point_source_int.begin() + n);
    return s;
}

StrikeAmbient make_strike_ambient(const LightningGrid& grid, const Scene& scene) {
    StrikeAmbient a;
    const double white = white_radiance(grid, scene) * scene.cloud.optical[1];
    const Vec3 u = scene.light.sun_dir;
    const float len = std::sqrt(u.x * u.x + u.y * u.y + u.z * u.z);
    if (!(white > 0.0) || !(len > 0.0f)) return a;
    a.present = true;
    a.sun_direction = Vec3{u.x / len, u.y / len, u.z / len};
    ambient_sources(scene, 1.0 / white, a.sun_irradiance, a.sky_radiance);
    // Below the horizon the ground stands between the sun and the cloud, and the bake traced none.
    if (!(u.z > 0.0f)) a.sun_irradiance = Vec3{};
    return a;
}

std::string strike_json(const StrikeExport& s) {
    std::string t = "{\"frame\": " + std::to_string(s.frame) + ", \"window\": [" +
                    std::to_string(s.window[0]) + ", " + std::to_string(s.window[1]) + "],\n";
    t += " \"camera\": {\"eye\": " + triple(s.eye) + ", \"target\": " + triple(s.target) +
         ", \"up\": " + triple(s.up) + ", \"fov_y_deg\": " + number(s.fov_y_deg) + "},\n";
    t += " \"cloud\": {\"vdb\": \"cloud.vdb\", \"grid\": \"density\", \"extinction\": " +
         number(s.extinction) + ", \"albedo\": " + number(s.albedo) + ", \"g\": " + number(s.g) + "},\n";
    t += " \"lights\": [";
    for (size_t i = 0; i < s.positions.size(); ++i) {
        t += (i == 0 ? "\n  " : ",\n  ");
        t += "{\"position\": " + triple(s.positions[i]) + ", \"power\": " + triple(s.powers[i]) + "}";
    }
    t += s.positions.empty() ? "]" : "\n ]";
    if (s.ambient.present) {
        t += ",\n \"sun\": {\"direction\": " + triple(s.ambient.sun_direction) +
             ", \"irradiance\": " + triple(s.ambient.sun_irradiance) + "},\n";
        t += " \"sky\": {\"radiance\": " + triple(s.ambient.sky_radiance) + "}";
    }
    return t + "}\n";
}

std::string find_bake_program(const std::string& viewer_path) {
    std::error_code ec;
    const fs::path here = fs::weakly_canonical(fs::path(viewer_path), ec).parent_path();
    for (const fs::path& p : {here / kBakeName, here / "tools" / kBakeName}) {
        if (is_executable(p)) return p.string();
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string d = dirs.substr(start, end - start);
        if (!d.empty() && is_executable(fs::path(d) / kBakeName)) return (fs::path(d) / kBakeName).string();
        start = end + 1;
    }
    return "";
}

std::string export_strike(const std::string& dir, const StrikeExport& strike, const CloudGrid& cloud,
                          const std::string& bake_program) {
    if (cloud.grd_numx <= 0 || cloud.grd_bytes.empty()) return "the scene has no cloud to export";
    if (bake_program.empty()) {
        return std::string("no ") + kBakeName +
               " beside the viewer or on PATH: it writes cloud.vdb (the viewer reads no OpenVDB files "
               "itself)";
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) return "cannot make the folder " + dir;
    std::string pattern = (fs::path(dir) / kScratchPattern).string();
    if (!mkdtemp(pattern.data())) return "cannot write in " + dir + ": " + std::strerror(errno);
    const fs::path scratch = pattern;
    std::string error = write_all(scratch, strike, cloud, bake_program);
    if (error.empty()) {
        for (const char* name : {kVdbName, kScriptName, kJsonName}) {
            fs::rename(scratch / name, fs::path(dir) / name, ec);
            if (ec) {
                error = "cannot put " + std::string(name) + " into " + dir + ": " + ec.message();
                break;
            }
        }
    }
    fs::remove_all(scratch, ec);
    return error;
}

std::string free_export_folder(int& last) {
    for (;;) {
        char name[32];
        std::snprintf(name, sizeof name, "strike-%04d", ++last);
        std::error_code error;
        if (!fs::exists(name, error)) return name;
    }
}
