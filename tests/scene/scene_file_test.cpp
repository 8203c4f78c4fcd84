// scene_file_test.cpp -- the keyword loop, per-reading defaults and the order of two readings
#include "scene/scene_file.h"

#include "gtest/gtest.h"
#include "scene_files.h"
#include "support/fatal.h"
#include "test_support.h"

namespace {

TEST(SceneFile, OnlyEndKeepsInitialValuesAndRestoresReadingDefaults) {
    ScratchDir dir;
    Scene scene;
    scene.fog.fog_density = 0.9f;
    scene.sky.sky_level = 5.0f;
    scene.sky.sky_segments = 9;
    scene.objects.resize(2);
    scene.textures.resize(1);
    scene.light.ambient = 0.7f;
    EXPECT_EQ(read_scene_text(dir, "end\n", scene), "");
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.15f);
    EXPECT_FLOAT_EQ(scene.fog.fog_colour.y, 0.8f);
    EXPECT_FLOAT_EQ(scene.fog.fog_extinction.z, 0.03f);
    EXPECT_FLOAT_EQ(scene.sky.sky_level, -1.0f);
    EXPECT_EQ(scene.sky.sky_segments, -1);
    EXPECT_EQ(scene.sky.sky_rings, -1);
    EXPECT_TRUE(scene.objects.empty());
    EXPECT_TRUE(scene.textures.empty());
    EXPECT_FALSE(scene.sky_built);
    EXPECT_FLOAT_EQ(scene.light.ambient, 0.7f);  // not a per-reading default
    EXPECT_EQ(scene.camera.given, 0);
}

TEST(SceneFile, SecondReadingDropsSkyAndFogButKeepsCameraAndLight) {
    ScratchDir dir;
    Scene scene;
    read_scene_text(dir,
                    "camera\n1 2 3\n4 5 6\n100 0.5 0.25\n45\n"
                    "fog\n0.5 0.1 0.2 0.3\n0.01 0.02 0.04\n"
                    "light\n0 0 2\n1 0.5 0.25 0.4\n"
                    "sky\n2.0 9 3 0 0\nclear\n0.1 0.2 0.3\n"
                    "bmp\nshot\n"
                    "end\n",
                    scene, "test.dat");
    EXPECT_TRUE(scene.sky_built);
    EXPECT_EQ(scene.sky.sky_vertices.size(), 19u);
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.5f);

    read_scene_text(dir, "camera\n0 0 0\n7 8 9\n50 0 0\n30\nend\n", scene, "second.dat");
    EXPECT_FALSE(scene.sky_built);
    EXPECT_FLOAT_EQ(scene.sky.sky_level, -1.0f);
    EXPECT_EQ(scene.sky.sky_segments, -1);
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.15f);
    EXPECT_FLOAT_EQ(scene.fog.fog_extinction.x, 0.03f);
    EXPECT_FLOAT_EQ(scene.camera.target_in.x, 7.0f);  // the second file wins
    EXPECT_FLOAT_EQ(scene.camera.fovy, 30.0f);
    EXPECT_FLOAT_EQ(scene.light.sun_colour.y, 0.5f);  // kept from the first file
    EXPECT_FLOAT_EQ(scene.light.sun_dir.z, 1.0f);
    EXPECT_EQ(scene.bmp_word, "shot");
}

TEST(SceneFile, WordWhereANumberBelongsKeepsTheOldValueAndIsSkipped) {
    ScratchDir dir;
    Scene scene;
    // The density scans; "thick" ends the first group (colour keeps its default) and is
    // then skipped by the keyword loop; the next fog section is read normally.
    std::string out =
        read_scene_text(dir, "fog 0.4 thick 0.2 0.3 0.05 0.06 0.07\n fog 0.6 0 0 0 1 1 1\nend\n", scene);
    EXPECT_EQ(out, "");
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.6f);
    EXPECT_FLOAT_EQ(scene.fog.fog_extinction.x, 1.0f);

    Scene first;
    read_scene_text(dir, "fog 0.4 thick 0.2 0.3 0.05 0.06 0.07\nend\n", first);
    EXPECT_FLOAT_EQ(first.fog.fog_density, 0.4f);
    EXPECT_FLOAT_EQ(first.fog.fog_colour.x, 0.8f);
    // The extinction group then stops at "thick" too and keeps the defaults.
    EXPECT_FLOAT_EQ(first.fog.fog_extinction.x, 0.03f);
}

TEST(SceneFile, KeywordsMatchOnlyInAllLowerOrAllUpperCase) {
    ScratchDir dir;
    Scene scene;
    read_scene_text(dir, "Camera 1 2 3 4 5 6 7 8 9 10\nFOG 0.25 1 1 1 0 0 0\nEND\nfog 0.9 0 0 0 0 0 0\nend\n",
                    scene);
    EXPECT_EQ(scene.camera.given, 0);
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.25f);  // tokens after END are never read
}

TEST(SceneFile, LongWordsAreSkippedWholeAndEndOfFileStopsWithANote) {
    ScratchDir dir;
    Scene scene;
    // 24 characters cannot be a keyword even though it starts with one.
    std::string out = read_scene_text(dir, "fogfogfogfogfogfogfogfog 0.5 fog 0.35 1 1 1 0 0 0\n", scene);
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.35f);
    EXPECT_NE(out.find("has no \"end\""), std::string::npos) << out;
}

TEST(SceneFile, ShadingSectionChoosesTheModeAndExposureAndUnknownSectionsAreSkipped) {
    ScratchDir dir;
    Scene plain;
    read_scene_text(dir, "fog 0.4 1 1 1 0 0 0\nend\n", plain);
    EXPECT_FALSE(plain.cloud.shading.physical);
    EXPECT_FLOAT_EQ(plain.cloud.shading.exposure, 1.0f);

    // Sections this reader does not know (another viewer's "flash") pass as skipped words, and the
    // values after "physical" and the exposure are left for later versions.
    Scene s;
    read_scene_text(dir, "flash 3 0.5\nshading physical 2.5e3 0.7 extra\nfog 0.4 1 1 1 0 0 0\nend\n", s);
    EXPECT_TRUE(s.cloud.shading.physical);
    EXPECT_FLOAT_EQ(s.cloud.shading.exposure, 2500.0f);
    EXPECT_FLOAT_EQ(s.fog.fog_density, 0.4f);

    // Any other mode is the classic shading; a bad exposure keeps the one in force with a note.
    const std::string out = read_scene_text(dir, "SHADING classic -1\nend\n", s);
    EXPECT_FALSE(s.cloud.shading.physical);
    EXPECT_FLOAT_EQ(s.cloud.shading.exposure, 2500.0f);
    EXPECT_NE(out.find("exposure"), std::string::npos) << out;
}

TEST(SceneFile, MissingFileIsFatal) {
    ThrowOnFatal guard;
    Scene scene;
    testing::internal::CaptureStderr();
    EXPECT_THROW(read_scene_file("/nonexistent/test.dat", scene), FatalInputError);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't open the file:/nonexistent/test.dat\n");
}

}  // namespace
