// objects_test.cpp -- object files, placement commands, normals, bounds and damaged object files
#include "scene/objects.h"

#include <sys/stat.h>

#include <cmath>

#include "gtest/gtest.h"
#include "scene_files.h"
#include "support/fatal.h"
#include "test_support.h"

namespace {

// One plain unit square in the z = 0 plane as an object file body (no count line).
constexpr const char* kSquare = "4 1 0.5 0.5 0.5 plain\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n1 2 3 4\n";

std::string object_section(const ScratchDir& dir, const std::vector<std::string>& names) {
    std::string s = "object\n" + std::to_string(names.size()) + "\n";
    for (const std::string& n : names) s += dir.file(n) + "\n";
    return s + "end\n";
}

// Reads the object files, expecting a fatal error whose standard-error text contains problem.
void expect_object_error(const ScratchDir& dir, const std::vector<std::string>& names,
                         const std::string& problem) {
    ThrowOnFatal guard;
    Scene scene;
    testing::internal::CaptureStderr();
    EXPECT_THROW(read_scene_text(dir, object_section(dir, names), scene), FatalInputError) << problem;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(problem), std::string::npos) << err;
}

TEST(ObjectFile, ReadsTrianglesEmptyCornersTexturesAndBounds) {
    ScratchDir dir;
    write_text_file(dir.file("a.obj"),
                    "2\n"
                    "4 2 1 0 0 plain\n0 0 0\n2 0 0\n2 2 0\n0 2 4\n1 2 3 3\n1 2 0 4\n"
                    "3 1 0 1 0 textured\n0 0 0\n1 0 0\n0 1 0\n1 2 3 3\n"
                    "2 5\n0 0\n1 0.5\n2 1 -1 0\n"
                    "END\n");
    Scene scene;
    read_scene_text(dir, object_section(dir, {"a.obj"}), scene);
    ASSERT_EQ(scene.objects.size(), 2u);
    const SceneObject& a = scene.objects[0];
    EXPECT_EQ(a.faces[0].corner, (std::array<int32_t, 4>{0, 1, 2, kNoCorner}));  // 1 2 3 3 is a triangle
    EXPECT_EQ(a.faces[1].corner, (std::array<int32_t, 4>{0, 1, kNoCorner, 3}));
    EXPECT_EQ(a.textured, 0);
    EXPECT_EQ(a.texture_index, -1);
    EXPECT_EQ(a.transform_kind, 100);
    EXPECT_EQ(a.transform[5], 1.0f);
    EXPECT_EQ(a.box_max.z, 4.0f);
    EXPECT_EQ(a.centre.x, 1.0f);
    EXPECT_FLOAT_EQ(a.radius, std::sqrt(1.0f + 1.0f + 4.0f));

    const SceneObject& b = scene.objects[1];
    EXPECT_EQ(b.textured, 1);
    EXPECT_EQ(b.texture_index, 5);
    ASSERT_EQ(b.texcoords.size(), 2u);
    EXPECT_EQ(b.texcoords[1][1], 0.5f);
    // Texture references take no triangle rule: only numbers <= 0 are empty.
    EXPECT_EQ(b.faces[0].corner_texcoord, (std::array<int32_t, 4>{1, 0, kNoCorner, kNoCorner}));
    EXPECT_EQ(scene.object_box, (Box{0, 0, 0, 2, 2, 4}));
}

TEST(ObjectFile, LineWithoutItsWordIsPlainAndMissingEndStopsAtEndOfFile) {
    ScratchDir dir;
    write_text_file(dir.file("a.obj"),
                    "1\n3 1 0.2 0.3 0.4\n0 0 0\n1 0 0\n0 1 0\n1 2 3 3\nMOVE 1 1 0 0 5 0 0 0\n");
    Scene scene;
    read_scene_text(dir, object_section(dir, {"a.obj"}), scene);
    ASSERT_EQ(scene.objects.size(), 1u);
    EXPECT_EQ(scene.objects[0].textured, 0);
    EXPECT_FLOAT_EQ(scene.objects[0].colour.z, 0.4f);
    EXPECT_EQ(scene.objects[0].vertices[2].position.z, 5.0f);
}

TEST(Placement, CommandsOfTheSecondFileReachItsOwnObjects) {
    ScratchDir dir;
    std::string two = "2\n";
    std::string three = "3\n";
    for (int i = 0; i < 2; ++i) two += kSquare;
    for (int i = 0; i < 3; ++i) three += kSquare;
    write_text_file(dir.file("two.obj"), two + "MOVE 2 2 0 0 1 0 0 0\nEND\n");
    write_text_file(dir.file("three.obj"), three + "MOVE 1 3 10 0 0 0 0 0\nSCAL 3 3 0 0 0 2 2 2\nEND\n");
    Scene scene;
    read_scene_text(dir, object_section(dir, {"two.obj", "three.obj"}), scene);
    ASSERT_EQ(scene.objects.size(), 5u);
    EXPECT_EQ(scene.objects[0].vertices[2].position.x, 1.0f);
    EXPECT_EQ(scene.objects[1].vertices[2].position.z, 1.0f);
    for (int o = 2; o < 4; ++o) EXPECT_EQ(scene.objects[o].vertices[0].position.x, 10.0f) << o;
    EXPECT_EQ(scene.objects[4].vertices[0].position.x, 20.0f);
    EXPECT_EQ(scene.objects[4].vertices[2].position.x, 22.0f);  // moved to 11, then scaled about 0
    EXPECT_EQ(scene.objects[4].vertices[2].position.y, 2.0f);
    EXPECT_EQ(scene.objects[1].vertices[2].position.x, 1.0f);
    EXPECT_EQ(scene.object_box[3], 22.0f);
}

TEST(Placement, RotationsScalesAndUnknownWords) {
    std::vector<SceneObject> objects(1);
    objects[0].vertices.resize(1);
    Vec3& v = objects[0].vertices[0].position;
    v = Vec3{1, 0, 0};
    apply_placement(objects, "ZREV", 0, 0, {0, 0, 0, 90, 0, 0});
    EXPECT_NEAR(v.x, 0.0f, 1e-6f);
    EXPECT_NEAR(v.y, 1.0f, 1e-6f);
    apply_placement(objects, "XREV", 0, 0, {0, 0, 0, 90, 0, 0});
    EXPECT_NEAR(v.y, 0.0f, 1e-6f);
    EXPECT_NEAR(v.z, 1.0f, 1e-6f);
    apply_placement(objects, "YREV", 0, 0, {0, 0, 0, 90, 0, 0});  // x' = cos x - sin z
    EXPECT_NEAR(v.x, -1.0f, 1e-6f);
    EXPECT_NEAR(v.z, 0.0f, 1e-6f);

    v = Vec3{3, 3, 3};
    apply_placement(objects, "SCALE", 0, 0, {1, 1, 1, 2, 3, 4});
    const Vec3 scaled = v;
    v = Vec3{3, 3, 3};
    apply_placement(objects, "SCAL", 0, 0, {1, 1, 1, 2, 3, 4});
    EXPECT_EQ(v.x, scaled.x);
    EXPECT_EQ(v.x, 5.0f);
    EXPECT_EQ(v.y, 7.0f);
    EXPECT_EQ(v.z, 9.0f);
    apply_placement(objects, "TWIST", 0, 0, {1, 1, 1, 2, 3, 4});
    apply_placement(objects, "MOVE", 0, -1, {1, 1, 1, 0, 0, 0});  // last < first: nothing
    apply_placement(objects, "MOVE", 0, 1, {1, 1, 1, 0, 0, 0});   // beyond the list: nothing
    EXPECT_EQ(v.x, 5.0f);
}

TEST(Placement, CommandOutsideTheFilesObjectsIsSkipped) {
    ScratchDir dir;
    write_text_file(dir.file("a.obj"), std::string("1\n") + kSquare + "MOVE 1 2 5 0 0 0 0 0\nEND\n");
    write_text_file(dir.file("b.obj"), std::string("1\n") + kSquare + "END\n");
    Scene scene;
    std::string out = read_scene_text(dir, object_section(dir, {"a.obj", "b.obj"}), scene);
    EXPECT_NE(out.find("line 8: objects 1 .. 2 are outside 1 .. 1; command skipped"), std::string::npos)
        << out;
    EXPECT_EQ(scene.objects[0].vertices[0].position.x, 0.0f);
    EXPECT_EQ(scene.objects[1].vertices[0].position.x, 0.0f);
}

TEST(Normals, CollinearFirstCornersUseTheFourth) {
    std::vector<SceneObject> objects(1);
    SceneObject& o = objects[0];
    for (Vec3 p : {Vec3{0, 0, 2}, Vec3{1, 0, 2}, Vec3{2, 0, 2}, Vec3{0, 1, 2}}) o.vertices.push_back({p, {}});
    o.faces.resize(2);
    o.faces[0].corner = {0, 1, 2, 3};
    o.faces[1].corner = {0, 1, 3, kNoCorner};
    compute_face_normals(objects);
    // (P3 - P0) x (P1 - P0) = (0, 1, 0) x (1, 0, 0) = (0, 0, -1)
    EXPECT_EQ(o.faces[0].normal.x, 0.0f);
    EXPECT_EQ(o.faces[0].normal.z, -1.0f);
    EXPECT_EQ(o.faces[0].plane_offset, 2.0f);
    EXPECT_EQ(o.faces[1].normal.z, -1.0f);

    // Corners all on one line and no fourth: a zero normal, never NaN.
    o.faces[1].corner = {0, 1, 2, kNoCorner};
    compute_face_normals(objects);
    EXPECT_EQ(o.faces[1].normal.x, 0.0f);
    EXPECT_EQ(o.faces[1].normal.z, 0.0f);
    EXPECT_EQ(o.faces[1].plane_offset, 0.0f);
}

TEST(Bounds, ObjectWithoutVerticesHasRadiusZero) {
    std::vector<SceneObject> objects(1);
    Box box{};
    compute_object_bounds(objects, box);
    EXPECT_EQ(objects[0].radius, 0.0f);
    EXPECT_EQ(box[0], 1e13f);
    EXPECT_EQ(box[3], -1e13f);
}

TEST(ObjectSection, ReferencesAboveTheCountsAreFatalAndNameFileAndLine) {
    ScratchDir dir;
    write_text_file(dir.file("v.obj"), "1\n3 1 1 1 1 plain\n0 0 0\n1 0 0\n0 1 0\n1 2 4 3\n");
    expect_object_error(dir, {"v.obj"}, "object file " + dir.file("v.obj") + ": line 6 refers to vertex 4");
    write_text_file(dir.file("t.obj"),
                    "1\n3 1 1 1 1 textured\n0 0 0\n1 0 0\n0 1 0\n1 2 3 3\n2 0\n0 0\n1 1\n1 2 3 0\n");
    expect_object_error(dir, {"t.obj"}, "line 10 refers to texture coordinate 3, but the object has only 2");
}

TEST(ObjectSection, DamagedCountsAndTruncatedFilesAreFatal) {
    ScratchDir dir;
    write_text_file(dir.file("short.obj"), "1\n4 1 1 1 1 plain\n0 0 0\n1 0 0\n");
    expect_object_error(dir, {"short.obj"}, "ends at line 5 inside object 1");
    write_text_file(dir.file("neg.obj"), "1\n-4 1 1 1 1 plain\n");
    expect_object_error(dir, {"neg.obj"}, "line 2 gives impossible vertex or face counts");
    write_text_file(dir.file("huge.obj"), "1\n2000000000 1 1 1 1 plain\n");
    expect_object_error(dir, {"huge.obj"}, "impossible vertex or face counts");
    write_text_file(dir.file("many.obj"), "900000000\n");
    expect_object_error(dir, {"many.obj"}, "more than the file can hold");
    expect_object_error(dir, {"missing.obj"}, "Can't open the file: " + dir.file("missing.obj"));
    // Found by fuzzing: a folder opened as an object file reported an end far beyond any
    // file, and the count check overflowed on it.
    ASSERT_EQ(mkdir(dir.file("folder.obj").c_str(), 0700), 0);
    expect_object_error(dir, {"folder.obj"}, "Can't open the file: " + dir.file("folder.obj"));
}

TEST(ObjectSection, NegativeCountsAreRefusedAndReadingGoesOn) {
    ScratchDir dir;
    write_text_file(dir.file("neg.obj"), "-2\nMOVE 1 1 1 1 1 0 0 0\n");
    write_text_file(dir.file("one.obj"), std::string("1\n") + kSquare + "END\n");
    Scene scene;
    std::string out = read_scene_text(dir, object_section(dir, {"neg.obj", "one.obj"}), scene);
    EXPECT_NE(out.find("negative object count -2; file skipped"), std::string::npos) << out;
    ASSERT_EQ(scene.objects.size(), 1u);
    EXPECT_EQ(scene.objects[0].vertices[1].position.x, 1.0f);

    out = read_scene_text(dir, "object -1 fog 0.5 0 0 0 0 0 0 end", scene);
    EXPECT_NE(out.find("object file count -1 is negative"), std::string::npos) << out;
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.5f);
}

TEST(ObjectSection, MoreThanAHundredFilesEndsTheProgram) {
    ThrowOnFatal guard;
    ScratchDir dir;
    Scene scene;
    testing::internal::CaptureStdout();
    write_text_file(dir.file("s.dat"), "object 101 end");
    EXPECT_THROW(read_scene_file(dir.file("s.dat"), scene), FatalInputError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "set NUM_OBJ_FILE > 101 in render\n");
}

}  // namespace
