// sections_test.cpp -- light, sky, lightning and wave sections, and the sky dome geometry
#include "scene/sections.h"

#include <cmath>

#include "gtest/gtest.h"
#include "scene_files.h"
#include "test_support.h"

namespace {

constexpr const char* kLightningValues =
    "2 77\n3 0.3 90\n2 5\n12 0\n0.05 0.97 0.9\n1.5 0 0 0\n1 1 1\n0.9 0.9 1\n0.5 0.5 0.8\n"
    "0.3 0.3 0.4\n0 0\n0.2 0.2 0.3\n";

TEST(LightSection, DirectionIsNormalisedAndZeroIsRefused) {
    ScratchDir dir;
    Scene scene;
    read_scene_text(dir, "light 0 0 2 1 1 1 0.5 end", scene);
    EXPECT_EQ(scene.light.sun_dir.x, 0.0f);
    EXPECT_EQ(scene.light.sun_dir.z, 1.0f);
    read_scene_text(dir, "light 3 0 4 1 1 1 0.5 end", scene);
    EXPECT_FLOAT_EQ(scene.light.sun_dir.x, 0.6f);
    EXPECT_FLOAT_EQ(scene.light.sun_dir.z, 0.8f);

    std::string out = read_scene_text(dir, "light 0 0 0 0.2 0.3 0.4 0.1 end", scene);
    EXPECT_NE(out.find("has no length"), std::string::npos) << out;
    EXPECT_FLOAT_EQ(scene.light.sun_dir.x, 0.6f);
    EXPECT_FLOAT_EQ(scene.light.sun_colour.z, 0.4f);  // the colour group is still read
}

TEST(SkySection, IntegGammaZeroCountsAsOneAndNegativeKeepsTheMapping) {
    ScratchDir dir;
    Scene scene;
    read_scene_text(dir, "sky 1 9 3 0 0 integ\n0 8 8000 0\n8000 1 2 3 1200\n2.5 0\nend", scene);
    EXPECT_EQ(scene.sky.sky_type, kSkyInteg);
    EXPECT_EQ(scene.sky.integ_steps, 8);
    EXPECT_FLOAT_EQ(scene.sky.rayleigh_scale_height, 8000.0f);
    EXPECT_FLOAT_EQ(scene.sky.aerosol_scale_height, 1200.0f);
    EXPECT_EQ(scene.sky.sky_gamma_inv, 1.0f);
    EXPECT_EQ(scene.sky.sky_light_scale, 2.5f);

    read_scene_text(dir, "sky 1 9 3 0 0 integ\n0 8 8000 0\n8000 1 2 3 1200\n7 -1\nend", scene);
    EXPECT_EQ(scene.sky.sky_gamma_inv, 1.0f);
    EXPECT_EQ(scene.sky.sky_light_scale, 2.5f);

    read_scene_text(dir, "sky 1 9 3 0 0 integ\n0 8 8000 0\n8000 1 2 3 1200\n2 2\nend", scene);
    EXPECT_FLOAT_EQ(scene.sky.sky_gamma_inv, 0.5f);
    EXPECT_FLOAT_EQ(scene.sky.sky_light_scale, 2.0f * 255.0f / std::sqrt(255.0f));
}

TEST(SkySection, UnknownTypeKeepsTheOldTypeAndStillSizesTheDome) {
    ScratchDir dir;
    Scene scene;
    read_scene_text(dir, "sky 1 5 4 0 0 overcast 0.4 0.5 0.6 sky 2 5 4 0 0 rainbow end", scene);
    EXPECT_EQ(scene.sky.sky_type, kSkyOvercast);
    EXPECT_FLOAT_EQ(scene.sky.sky_colour.z, 0.6f);
    EXPECT_FLOAT_EQ(scene.sky.sky_level, 2.0f);
    EXPECT_EQ(scene.sky.sky_vertices.size(), 16u);
    EXPECT_EQ(scene.sky.sky_quads.size(), 12u);
}

TEST(SkyDome, NineSegmentsThreeRingsGiveNineteenVerticesAndApexQuads) {
    SkySettings sky;
    sky.sky_segments = 9;
    sky.sky_rings = 3;
    build_sky_dome(sky);
    ASSERT_EQ(sky.sky_vertices.size(), 19u);
    ASSERT_EQ(sky.sky_quads.size(), 16u);
    // Ring 0 lies on the horizon, ring 1 at 45 degrees, and each ring closes exactly.
    for (int j = 0; j < 9; ++j) EXPECT_EQ(sky.sky_vertices[j].position.z, 0.0f);
    const float e1 = 1.5707963f / 2.0f;
    EXPECT_EQ(sky.sky_vertices[9].position.z, std::sin(e1));
    EXPECT_EQ(sky.sky_vertices[9].position.y, 0.0f);
    EXPECT_EQ(sky.sky_vertices[17].position.y, 0.0f);
    EXPECT_NEAR(sky.sky_vertices[17].position.x, sky.sky_vertices[9].position.x, 1e-6f);
    EXPECT_NEAR(sky.sky_vertices[2].position.x, 0.0f, 1e-6f);  // a quarter turn on ring 0
    EXPECT_NEAR(sky.sky_vertices[2].position.y, 1.0f, 1e-6f);
    EXPECT_EQ(sky.sky_vertices[18].position.z, 1.0f);

    const SkyQuad& low = sky.sky_quads[3];
    EXPECT_EQ(low.corner, (std::array<int32_t, 4>{3, 4, 13, 12}));
    for (int q = 8; q < 16; ++q) {
        const int j = q - 8;
        EXPECT_EQ(sky.sky_quads[q].corner, (std::array<int32_t, 4>{9 + j, 10 + j, 18, 18})) << "quad " << q;
    }
}

TEST(SkySection, TooFewRingsOrSegmentsAreRefused) {
    ScratchDir dir;
    Scene scene;
    for (const char* text : {"sky 1 1 3 0 0 clear 0 0 0 end", "sky 1 9 1 0 0 clear 0 0 0 end",
                             "sky 1 -4 -2 0 0 clear 0 0 0 end"}) {
        std::string out = read_scene_text(dir, text, scene);
        EXPECT_NE(out.find("no dome built"), std::string::npos) << text;
        EXPECT_FALSE(scene.sky_built) << text;
        EXPECT_TRUE(scene.sky.sky_vertices.empty()) << text;
    }
    std::string out = read_scene_text(dir, "sky 1 100000 100000 0 0 clear 0 0 0 end", scene);
    EXPECT_NE(out.find("too large"), std::string::npos);
    EXPECT_TRUE(scene.sky.sky_vertices.empty());
    // A refused section after a good one leaves the good dome in place.
    read_scene_text(dir, "sky 1 9 3 0 0 clear 0 0 0 sky 1 0 0 0 0 clear 0 0 0 end", scene);
    EXPECT_TRUE(scene.sky_built);
    EXPECT_EQ(scene.sky.sky_vertices.size(), 19u);
}

TEST(LightningSection, RefusedBeforeACloudAndItsValuesSkipped) {
    ScratchDir dir;
    Scene scene;
    std::string out = read_scene_text(
        dir, std::string("lightning\n") + kLightningValues + "fog 0.5 0 0 0 0 0 0 end", scene);
    EXPECT_EQ(out, "*** call lightning after cloud command !\n");
    EXPECT_EQ(scene.lightning.sections_read, 0);
    EXPECT_EQ(scene.lightning.discharge_count, 0);
    EXPECT_FLOAT_EQ(scene.fog.fog_density, 0.5f);
}

TEST(LightningSection, StoresSettingsConvertsTheAngleAndPrintsTheBox) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 4, 4, 2, 0.1f, 10);
    std::string out = read_scene_text(dir,
                                      "cloud " + dir.file("g.bin") +
                                          " 0.5\n2 10 10 50\n0 0 0\n1.5 3.5 1\n2\n1 1\nlightning\n" +
                                          kLightningValues + "end",
                                      scene);
    // Origin (10, 10, 50) minus half the counts (2, 2, 1); size 2 per cell.
    EXPECT_NE(out.find("(8.000000, 8.000000, 0.000000) - (16.000000, 16.000000, 53.000000)\n"),
              std::string::npos)
        << out;
    const LightningSettings& s = scene.lightning;
    EXPECT_EQ(s.sections_read, 1);
    EXPECT_EQ(s.discharge_count, 2);
    EXPECT_EQ(s.seed, 77);
    EXPECT_EQ(s.max_branch_depth, 3);
    EXPECT_EQ(s.turn_angle_mean, 1.5707963f);
    EXPECT_FLOAT_EQ(s.turn_angle_spread, 0.3f);
    EXPECT_EQ(s.ground_height, 0.0f);
    EXPECT_FLOAT_EQ(s.continue_probability, 0.97f);
    EXPECT_FLOAT_EQ(s.glow_size, 1.5f);
    EXPECT_FLOAT_EQ(s.emission_colour.z, 1.0f);
    EXPECT_FLOAT_EQ(s.glow_colour.z, 0.8f);
    EXPECT_FLOAT_EQ(s.object_flash.z, 0.4f);
    EXPECT_FLOAT_EQ(s.sky_flash.z, 0.3f);
    EXPECT_EQ(s.max_branch_points, 1000);
    EXPECT_EQ(s.max_branches, 10);
    EXPECT_EQ(s.discharge_box_low.z, 0.0f);
    EXPECT_EQ(s.discharge_box_high.z, 53.0f);
}

TEST(LightningSection, NegativeOrHugeDischargeCountIsRefusedWhole) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 2, 2, 2, 0.1f, 10);
    const std::string cloud = "cloud " + dir.file("g.bin") + " 0.5\n1 0 0 0\n0 0 0\n1.5 3.5 1\n2\n1 1\n";
    read_scene_text(dir, cloud + "lightning\n" + kLightningValues + "end", scene);
    // One limit for the reader and the records: 257 is refused by name, 256 is kept whole.
    for (const char* count : {"-1", "5000", "257"}) {
        std::string values = kLightningValues;
        values.replace(0, 1, count);
        values.replace(values.find("3 0.3"), 1, "4");
        std::string out = read_scene_text(dir, "lightning\n" + values + "end", scene);
        EXPECT_NE(out.find("*** discharge count " + std::string(count) +
                           " is outside 0 .. 256; lightning section ignored"),
                  std::string::npos)
            << out;
        EXPECT_EQ(scene.lightning.sections_read, 1) << count;
        EXPECT_EQ(scene.lightning.discharge_count, 2) << count;
        EXPECT_EQ(scene.lightning.max_branch_depth, 3) << count;  // the earlier section stays whole
    }
    std::string values = kLightningValues;
    values.replace(0, 1, "256");
    read_scene_text(dir, "lightning\n" + values + "end", scene);
    EXPECT_EQ(scene.lightning.discharge_count, 256);
}

TEST(WaveSection, LoadsEachEntryWithItsGain) {
    ScratchDir dir;
    Scene scene;
    write_wave16(dir.file("a.wav"), {16384, -16384, 0});
    write_wave16(dir.file("b.wav"), {32767});
    read_scene_text(dir, "wave 4.5 2 " + dir.file("a.wav") + " 0.5 " + dir.file("b.wav") + " 1 end", scene);
    EXPECT_FLOAT_EQ(scene.mix_ring_seconds, 4.5f);
    ASSERT_EQ(scene.sound_table.size(), 2u);
    EXPECT_EQ(scene.sound_table[0].value_count, 3);
    EXPECT_FLOAT_EQ(scene.sound_table[0].gain, 0.5f);
    EXPECT_NEAR(scene.sound_table[0].samples[0], 0.25f, 1e-4f);
    EXPECT_EQ(scene.sound_table[1].value_count, 1);
    EXPECT_FLOAT_EQ(scene.sound_table[1].samples[0], 1.0f);
}

TEST(WaveSection, NegativeOrHugeCountKeepsTheTable) {
    ScratchDir dir;
    Scene scene;
    write_wave16(dir.file("a.wav"), {100, 200});
    read_scene_text(dir, "wave 2 1 " + dir.file("a.wav") + " 1 end", scene);
    for (const char* count : {"-3", "100000"}) {
        std::string out = read_scene_text(dir, std::string("wave 3 ") + count + " end", scene);
        EXPECT_NE(out.find("sound table kept"), std::string::npos) << out;
        ASSERT_EQ(scene.sound_table.size(), 1u);
        EXPECT_EQ(scene.sound_table[0].value_count, 2);
    }
    // Fewer entries than the count: the rest stay silent, nothing is invented.
    std::string out = read_scene_text(dir, "wave 3 2 " + dir.file("a.wav") + " 1", scene);
    EXPECT_NE(out.find("ends after 1 of 2 sounds"), std::string::npos) << out;
    ASSERT_EQ(scene.sound_table.size(), 2u);
    EXPECT_EQ(scene.sound_table[1].value_count, 0);
}

}  // namespace

TEST(ShadingSection, PhysicalModeAndExposureInEitherCase) {
    ScratchDir dir;
    Scene scene;
    read_scene_text(dir, "end", scene);
    EXPECT_FALSE(scene.cloud.shading.physical);
    EXPECT_EQ(scene.cloud.shading.exposure, 1.0f);
    read_scene_text(dir, "shading physical 2.5 end", scene);
    EXPECT_TRUE(scene.cloud.shading.physical);
    EXPECT_FLOAT_EQ(scene.cloud.shading.exposure, 2.5f);
    read_scene_text(dir, "SHADING classic x end", scene);  // an exposure that does not scan is kept
    EXPECT_FALSE(scene.cloud.shading.physical);
    EXPECT_FLOAT_EQ(scene.cloud.shading.exposure, 2.5f);
}
