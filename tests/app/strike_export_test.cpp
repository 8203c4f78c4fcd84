// strike_export_test.cpp -- the strike record, its JSON text and the all-or-nothing writing of the folder
#include "app/strike_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_support.h"

namespace {

// A 2 x 2 x 1 cloud at a placement that is not a round number, with the demo's optics.
CloudGrid small_cloud() {
    CloudGrid g;
    g.grd_numx = 2;
    g.grd_numy = 2;
    g.grd_numz = 1;
    g.grd_size = 1.5f;
    g.grd_origin = Vec3{-3.25f, 7.0f, 40.125f};
    g.grd_byte_scale = 1.0f / 256.0f;
    g.grd_bytes = {0, 17, 255, 3};
    g.optical = {0.6f, 0.999f, 0.85f};
    g.splat_size = 1.5f;
    g.splat_brightness = 3.5f;
    g.splat_extinction = 1.0f;
    g.dscl = 1;
    return g;
}

StrikeExport small_strike(int32_t sources) {
    Camera cam;
    cam.win_width = 640;
    cam.win_height = 480;
    cam.eye = Vec3{87.25f, -122.0f, 3.0f};
    cam.target = Vec3{0.0f, 0.0f, 57.75f};
    cam.fovy = 60.0f;
    PointSources ps;
    for (int32_t i = 0; i < sources + 2; ++i) {  // spare entries beyond the count are not sources
        ps.point_source_pos.push_back(Vec3{-8.0f, 1.5f, 30.0f - 2.0f * static_cast<float>(i)});
        ps.point_source_int.push_back(Vec3{1.25f, 1.25f, 1.5f * static_cast<float>(i + 1)});
    }
    ps.point_source_count = sources;
    return make_strike_export(cam, small_cloud(), ps, 12);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A stand-in for vintrel-bake -export-vdb SCENE OUT: copies the scene's grid file to OUT, so the test can
// see what the viewer handed over.
std::string fake_baker(const ScratchDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.file(name);
    write_text_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

}  // namespace

TEST(StrikeExport, JsonHoldsTheViewTheOpticsAndEveryPointSource) {
    const StrikeExport s = small_strike(2);
    EXPECT_EQ(
        strike_json(s),
        "{\"frame\": 12, \"window\": [640, 480],\n"
        " \"camera\": {\"eye\": [87.25, -122, 3], \"target\": [0, 0, 57.75], \"up\": [0, 0, 1], "
        "\"fov_y_deg\": 60},\n"
        " \"cloud\": {\"vdb\": \"cloud.vdb\", \"grid\": \"density\", \"extinction\": 0.6, \"albedo\": 0.999, "
        "\"g\": 0.85},\n"
        " \"lights\": [\n"
        "  {\"position\": [-8, 1.5, 30], \"power\": [1.25, 1.25, 1.5]},\n"
        "  {\"position\": [-8, 1.5, 28], \"power\": [1.25, 1.25, 3]}\n"
        " ]}\n");
    const std::string empty = strike_json(small_strike(0));
    EXPECT_EQ(empty.substr(empty.size() - 14), "\"lights\": []}\n");
    // A rolled camera (a key-view flight) hands over its own up vector; numbers keep every float bit.
    Camera rolled;
    rolled.roll = 0.3f;
    rolled.up = Vec3{0.1f, -0.29552022f, 0.95f};
    const StrikeExport r = make_strike_export(rolled, small_cloud(), PointSources{}, 1);
    EXPECT_NE(strike_json(r).find("\"up\": [0.1, -0.29552022, 0.95]"), std::string::npos) << strike_json(r);
}

TEST(StrikeExport, WritesAllThreeFilesOrNone) {
    ScratchDir tmp;
    const CloudGrid cloud = small_cloud();
    const StrikeExport s = small_strike(3);
    const std::string dir = tmp.file("out/strike");

    // The folder is made; the baker gets the viewer's own grid and cloud placement.
    const std::string copy = fake_baker(
        tmp, "copying-bake", "cp \"$2/cloud.grd\" \"$3\" && grep -qx '1.5 -2.25 8 40.625' \"$2/test.dat\"\n");
    ASSERT_EQ(export_strike(dir, s, cloud, copy), "");
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"cloud.vdb", "render.py", "strike.json"}));
    std::vector<uint8_t> grid;
    put_i32(grid, 2);
    put_i32(grid, 2);
    put_i32(grid, 1);
    put_f32(grid, 1.0f / 256.0f);
    grid.insert(grid.end(), cloud.grd_bytes.begin(), cloud.grd_bytes.end());
    EXPECT_EQ(read_binary_file(dir + "/cloud.vdb"), grid);
    const std::vector<uint8_t> json = read_binary_file(dir + "/strike.json");
    EXPECT_EQ(std::string(json.begin(), json.end()), strike_json(s));
    const std::vector<uint8_t> script = read_binary_file(dir + "/render.py");
    EXPECT_EQ(std::string(script.begin(), script.end()), strike_render_script());

    // A baker that fails, none at all, or a folder that cannot be made: a message and nothing new.
    const std::string other = tmp.file("other");
    const std::string failing = fake_baker(tmp, "failing-bake", "echo 'cannot write the grid' >&2; exit 1\n");
    const std::string error = export_strike(other, s, cloud, failing);
    EXPECT_NE(error.find("cannot write the grid"), std::string::npos) << error;
    EXPECT_TRUE(entries(other).empty());
    EXPECT_NE(export_strike(other, s, cloud, ""), "");
    EXPECT_TRUE(entries(other).empty());
    write_text_file(tmp.file("plain"), "a file, not a folder");
    EXPECT_NE(export_strike(tmp.file("plain/sub"), s, cloud, copy), "");
    // A second export replaces the first folder's files whole.
    ASSERT_EQ(export_strike(dir, small_strike(1), cloud, copy), "");
    const std::vector<uint8_t> again = read_binary_file(dir + "/strike.json");
    EXPECT_EQ(std::string(again.begin(), again.end()), strike_json(small_strike(1)));
    EXPECT_EQ(entries(dir).size(), 3u);
}

TEST(StrikeExport, FindsTheBakerBesideTheViewerThenOnPath) {
    ScratchDir tmp;
    std::filesystem::create_directories(tmp.file("bin/tools"));
    const std::string viewer = tmp.file("bin/vintrel");
    write_text_file(viewer, "");
    const std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", tmp.file("elsewhere").c_str(), 1);
    EXPECT_EQ(find_bake_program(viewer), "");
    std::filesystem::create_directories(tmp.file("elsewhere"));
    write_text_file(tmp.file("elsewhere/vintrel-bake"), "#!/bin/sh\n");
    chmod(tmp.file("elsewhere/vintrel-bake").c_str(), 0755);
    EXPECT_EQ(find_bake_program(viewer), tmp.file("elsewhere/vintrel-bake"));
    // The build folder's layout comes before PATH.
    write_text_file(tmp.file("bin/tools/vintrel-bake"), "#!/bin/sh\n");
    chmod(tmp.file("bin/tools/vintrel-bake").c_str(), 0755);
    EXPECT_EQ(find_bake_program(viewer), tmp.file("bin/tools/vintrel-bake"));
    setenv("PATH", saved_path.c_str(), 1);
}
