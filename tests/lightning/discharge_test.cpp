// discharge_test.cpp -- the random generator, branch growth, point sources and flashes
#include "lightning/discharge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sound/mixer.h"

namespace {

// A small storm: domain x, y in [-20, 20], z from 0 (top at 30, never tested).
LightningSettings storm_settings(int32_t seed) {
    LightningSettings s;
    s.discharge_count = 2;
    s.seed = seed;
    s.max_branch_depth = 2;
    s.turn_angle_spread = 0.4f;
    s.turn_angle_mean = 15.0f / 180.0f * kPi;
    s.segment_length_min = 1.0f;
    s.segment_length_max = 3.0f;
    s.branch_probability = 0.35f;
    s.continue_probability = 0.85f;
    s.continue_decay = 0.7f;
    s.channel_colour = Vec3{1.0f, 0.8f, 0.6f};
    s.emission_colour = Vec3{0.5f, 0.25f, 2.0f};
    s.glow_colour = Vec3{0.1f, 0.2f, 0.3f};
    s.object_flash = Vec3{0.1f, 0.2f, 0.3f};
    s.sky_flash = Vec3{0.05f, 0.04f, 0.03f};
    s.discharge_box_low = Vec3{-20.0f, -20.0f, 0.0f};
    s.discharge_box_high = Vec3{20.0f, 20.0f, 30.0f};
    return s;
}

// Branches that never die and a domain they cannot leave within 1000 unit steps.
LightningSettings endless_settings(int32_t max_depth, float branch_probability) {
    LightningSettings s = storm_settings(7);
    s.max_branch_depth = max_depth;
    s.branch_probability = branch_probability;
    s.continue_probability = 1.0f;
    s.continue_decay = 1.0f;
    s.segment_length_min = s.segment_length_max = 1.0f;
    s.discharge_box_low = Vec3{-1e6f, -1e6f, 0.0f};
    s.discharge_box_high = Vec3{1e6f, 1e6f, 1e6f};
    return s;
}

const Vec3 kFarEye{0.0f, -100.0f, 5.0f};

// Generator state after a further `draws` draws from `from`.
uint32_t state_after(LightningRandom from, int draws) {
    advance_lightning_random(from, draws);
    return from.s;
}

// Draws of one branch that runs to the point limit: 6 for the first step, then 6
// per step plus the branch and continue decisions.
constexpr int kFullBranchDraws = 6 + 998 * 8;
// Draws made before the main channel starts: two angles and one discarded.
constexpr int kStartDraws = 3;

void expect_vec_near(Vec3 got, Vec3 want, float tol, const char* what) {
    EXPECT_NEAR(got.x, want.x, tol) << what;
    EXPECT_NEAR(got.y, want.y, tol) << what;
    EXPECT_NEAR(got.z, want.z, tol) << what;
}

// One record with hand-made branches, for the point-source tests.
void one_record(LightningState& st, const LightningSettings& s,
                const std::vector<std::pair<int, std::vector<Vec3>>>& branches) {
    LightningSettings one = s;
    one.discharge_count = 1;
    prepare_discharges(st, one);
    DischargeRecord& r = st.discharges[0];
    r.channel_colour = s.channel_colour;
    r.emission_colour = s.emission_colour;
    for (const auto& [level, pts] : branches) {
        Branch& b = r.branches[static_cast<size_t>(r.branch_count++)];
        b.level = level;
        b.point_count = static_cast<int32_t>(pts.size());
        for (size_t i = 0; i < pts.size(); ++i) b.points[i] = pts[i];
    }
}

}  // namespace

TEST(LightningRandom, FirstDrawsForKnownSeeds) {
    LightningRandom r;
    seed_lightning_random(r, 1);
    const int32_t want[] = {41, 18467, 6334, 26500, 19169, 15724};
    for (int32_t w : want) EXPECT_EQ(lightning_draw(r), w);
    EXPECT_EQ(r.s, 1030492215u);

    // A negative seed is taken as its 32-bit pattern.
    seed_lightning_random(r, -1);
    const int32_t want_neg[] = {35, 29739, 3374, 11141};
    for (int32_t w : want_neg) EXPECT_EQ(lightning_draw(r), w);

    seed_lightning_random(r, 1);
    advance_lightning_random(r, 60000);
    EXPECT_EQ(r.s, 3101391073u);

    // Four draws 41 + 18467 + 6334 + 26500 = 51342 mapped onto [-sqrt 12, sqrt 12].
    seed_lightning_random(r, 1);
    EXPECT_FLOAT_EQ(r.normal_offset, 3.4641016f);
    EXPECT_FLOAT_EQ(r.normal_scale, 5.285960651e-05f);
    EXPECT_FLOAT_EQ(normal_deviate(r), -0.75018358f);
    EXPECT_EQ(lightning_draw(r), 19169) << "a deviate uses exactly four draws";
}

TEST(LightningRandom, NormalDeviateRangeAndMoments) {
    LightningRandom r;
    seed_lightning_random(r, 12345);
    const int n = 200000;
    double sum = 0.0, sum2 = 0.0;
    float lo = 1e9f, hi = -1e9f;
    for (int i = 0; i < n; ++i) {
        const float g = normal_deviate(r);
        lo = std::min(lo, g);
        hi = std::max(hi, g);
        sum += g;
        sum2 += static_cast<double>(g) * g;
    }
    const double mean = sum / n;
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(sum2 / n - mean * mean, 1.0, 0.02);
    EXPECT_GE(lo, -3.4641017f);
    EXPECT_LE(hi, 3.4641017f);
    EXPECT_LT(lo, -2.5f) << "the tails are reached";
    EXPECT_GT(hi, 2.5f);
}

TEST(Discharge, BranchSlotsAndPointsAreCapped) {
    // Every point asks for a child: a chain of depth 0, 1, ... 9 fills the ten
    // slots, and each later request (the 11th and on) is dropped after its draw
    // while its parent goes on to the point limit.
    const LightningSettings s = endless_settings(20, 1.0f);
    LightningState st;
    prepare_discharges(st, s);
    const LightningRandom before = st.random;
    std::vector<SceneObject> objects;
    generate_discharge(st, s, 0, Vec3{0, 0, 5000}, kFarEye, objects);
    const DischargeRecord& r = st.discharges[0];
    ASSERT_EQ(r.branch_count, 10);
    for (int b = 0; b < 10; ++b) {
        EXPECT_EQ(r.branches[static_cast<size_t>(b)].level, b) << "slots are filled in pre-order";
        EXPECT_EQ(r.branches[static_cast<size_t>(b)].point_count, 1000) << "branch " << b;
    }
    // A child starts at its parent's third point.
    expect_vec_near(r.branches[1].points[0], r.branches[0].points[2], 0.0f, "child start");
    EXPECT_EQ(st.random.s, state_after(before, kStartDraws + 10 * kFullBranchDraws));
}

TEST(Discharge, ChildrenInheritTheDecayedContinueChance) {
    // With decay 0 a child stops at its first continue decision (3 points), while
    // the main channel (chance 1) runs on and fills the other nine slots.
    LightningSettings s = endless_settings(2, 1.0f);
    s.continue_decay = 0.0f;
    LightningState st;
    prepare_discharges(st, s);
    const LightningRandom before = st.random;
    std::vector<SceneObject> objects;
    generate_discharge(st, s, 0, Vec3{0, 0, 5000}, kFarEye, objects);
    const DischargeRecord& r = st.discharges[0];
    ASSERT_EQ(r.branch_count, 10);
    EXPECT_EQ(r.branches[0].point_count, 1000);
    for (int b = 1; b < 10; ++b) {
        EXPECT_EQ(r.branches[static_cast<size_t>(b)].level, 1);
        EXPECT_EQ(r.branches[static_cast<size_t>(b)].point_count, 3) << "branch " << b;
        expect_vec_near(r.branches[static_cast<size_t>(b)].points[0],
                        r.branches[0].points[static_cast<size_t>(b + 1)], 0.0f, "child start");
    }
    EXPECT_EQ(st.random.s, state_after(before, kStartDraws + kFullBranchDraws + 9 * (6 + 8)));
}

TEST(Discharge, DepthZeroAndOne) {
    std::vector<SceneObject> objects;
    {
        // Depth 0 grows nothing, yet the thunder starts.
        const LightningSettings s = endless_settings(0, 1.0f);
        LightningState st;
        prepare_discharges(st, s);
        const LightningRandom before = st.random;
        generate_discharge(st, s, 0, Vec3{0, 0, 5000}, kFarEye, objects);
        EXPECT_EQ(st.discharges[0].branch_count, 0);
        EXPECT_EQ(st.sources.point_source_count, 0);
        EXPECT_EQ(st.discharges[0].thunder.thunder_pos.load(), 0);
        EXPECT_EQ(st.discharges[0].thunder.thunder_wave.load(), 0);
        EXPECT_EQ(st.random.s, state_after(before, kStartDraws));
    }
    {
        // Depth 1: the branch decisions are drawn but start nothing.
        const LightningSettings s = endless_settings(1, 1.0f);
        LightningState st;
        prepare_discharges(st, s);
        const LightningRandom before = st.random;
        generate_discharge(st, s, 0, Vec3{0, 0, 5000}, kFarEye, objects);
        ASSERT_EQ(st.discharges[0].branch_count, 1);
        EXPECT_EQ(st.discharges[0].branches[0].level, 0);
        EXPECT_EQ(st.discharges[0].branches[0].point_count, 1000);
        EXPECT_EQ(st.random.s, state_after(before, kStartDraws + kFullBranchDraws));
    }
}

TEST(Discharge, DomainIsTestedOnFiveFacesOnly) {
    const LightningSettings s = storm_settings(1);
    EXPECT_FALSE(outside_discharge_domain(Vec3{0, 0, 0}, s)) << "the faces themselves are inside";
    EXPECT_FALSE(outside_discharge_domain(Vec3{20, 20, 0}, s));
    EXPECT_FALSE(outside_discharge_domain(Vec3{-20, -20, 5}, s));
    EXPECT_FALSE(outside_discharge_domain(Vec3{0, 0, 1e6f}, s)) << "the top is open";
    EXPECT_TRUE(outside_discharge_domain(Vec3{0, 0, -0.001f}, s));
    EXPECT_TRUE(outside_discharge_domain(Vec3{-20.001f, 0, 5}, s));
    EXPECT_TRUE(outside_discharge_domain(Vec3{20.001f, 0, 5}, s));
    EXPECT_TRUE(outside_discharge_domain(Vec3{0, -20.001f, 5}, s));
    EXPECT_TRUE(outside_discharge_domain(Vec3{0, 20.001f, 5}, s));

    // Starting farther outside than one segment: the first step already fails
    // and the main channel keeps exactly its two points.
    LightningSettings always = s;
    always.continue_probability = 1.0f;
    always.branch_probability = 1.0f;
    std::vector<SceneObject> objects;
    for (Vec3 start : {Vec3{0, 0, -3.5f}, Vec3{-24, 0, 5}, Vec3{24, 0, 5}, Vec3{0, -24, 5}, Vec3{0, 24, 5}}) {
        LightningState st;
        prepare_discharges(st, always);
        generate_discharge(st, always, 0, start, kFarEye, objects);
        ASSERT_EQ(st.discharges[0].branch_count, 1);
        EXPECT_EQ(st.discharges[0].branches[0].point_count, 2) << start.x << " " << start.y << " " << start.z;
    }
}

TEST(PointSources, SpacingAndIntensityPerSegment) {
    LightningSettings s = storm_settings(1);
    LightningState st;
    // Main channel with segments of length 1.5, 3.9, 0 and 4; a level-1 branch
    // (weight 1/2) with one segment of length 2.
    one_record(
        st, s,
        {{0,
          {Vec3{0, 0, 0}, Vec3{1.5f, 0, 0}, Vec3{1.5f, 3.9f, 0}, Vec3{1.5f, 3.9f, 0}, Vec3{1.5f, 3.9f, 4}}},
         {1, {Vec3{10, 0, 0}, Vec3{10, 0, 2}}}});
    rebuild_point_sources(st, s);
    const PointSources& ps = st.sources;
    ASSERT_EQ(ps.point_source_count, 1 + 2 + 0 + 3 + 2);
    EXPECT_EQ(ps.point_source_capacity, 1000);

    const Vec3 full = mul(s.emission_colour, s.channel_colour);
    const Vec3 want_pos[] = {{0, 0, 0},
                             {1.5f, 0, 0},
                             {1.5f, 1.95f, 0},
                             {1.5f, 3.9f, 0},
                             {1.5f, 3.9f, 4.0f / 3},
                             {1.5f, 3.9f, 8.0f / 3},
                             {10, 0, 0},
                             {10, 0, 1}};
    const float want_step[] = {1.5f, 1.95f, 1.95f, 4.0f / 3, 4.0f / 3, 4.0f / 3, 1.0f, 1.0f};
    const float want_weight[] = {1, 1, 1, 1, 1, 1, 0.5f, 0.5f};
    for (int i = 0; i < ps.point_source_count; ++i) {
        expect_vec_near(ps.point_source_pos[static_cast<size_t>(i)], want_pos[i], 1e-5f, "position");
        expect_vec_near(ps.point_source_int[static_cast<size_t>(i)],
                        scale(full, want_step[i] * want_weight[i]), 1e-5f, "intensity");
    }
    // The light of a segment does not depend on how many sources share it.
    Vec3 seg{};
    for (int i = 3; i < 6; ++i) seg = add(seg, ps.point_source_int[static_cast<size_t>(i)]);
    expect_vec_near(seg, scale(full, 4.0f), 1e-5f, "segment of length 4");
}

TEST(PointSources, ArraysGrowInBlocksOfAThousand) {
    LightningSettings s = storm_settings(1);
    LightningState st;
    // 999 sources fit the first block; 1000 fill it and a second block is added.
    one_record(st, s, {{0, {Vec3{0, 0, 0}, Vec3{1996.5f, 0, 0}}}});
    rebuild_point_sources(st, s);
    EXPECT_EQ(st.sources.point_source_count, 999);
    EXPECT_EQ(st.sources.point_source_capacity, 1000);
    st.discharges[0].branches[0].points[1] = Vec3{1998.5f, 0, 0};
    rebuild_point_sources(st, s);
    EXPECT_EQ(st.sources.point_source_count, 1000);
    EXPECT_EQ(st.sources.point_source_capacity, 2000);
    EXPECT_EQ(st.sources.point_source_pos.size(), 2000u);
    EXPECT_EQ(st.sources.point_source_int.size(), 2000u);
    // A rebuild never shrinks, and a record without branches gives no sources.
    st.discharges[0].branch_count = 0;
    rebuild_point_sources(st, s);
    EXPECT_EQ(st.sources.point_source_count, 0);
    EXPECT_EQ(st.sources.point_source_capacity, 2000);
}

TEST(BranchFrame, VerticalDirectionsUseTheIdentity) {
    for (Vec3 d : {Vec3{0, 0, -1}, Vec3{0, 0, 1}, Vec3{0.0005f, 0.0005f, -1}}) {
        const BranchFrame f = make_branch_frame(Vec3{3, 4, 5}, add(Vec3{3, 4, 5}, d));
        expect_vec_near(f.e1, Vec3{1, 0, 0}, 0.0f, "e1");
        expect_vec_near(f.e2, Vec3{0, 1, 0}, 0.0f, "e2");
        expect_vec_near(f.e3, Vec3{0, 0, 1}, 0.0f, "e3");
    }
}

TEST(BranchFrame, GeneralDirectionsAreOrthonormalAndRightHanded) {
    LightningRandom r;
    seed_lightning_random(r, 99);
    for (int i = 0; i < 200; ++i) {
        const Vec3 a{normal_deviate(r) * 10, normal_deviate(r) * 10, normal_deviate(r) * 10};
        const Vec3 d{normal_deviate(r), normal_deviate(r), normal_deviate(r)};
        if (d.x * d.x + d.y * d.y < 1e-3f) continue;
        const BranchFrame f = make_branch_frame(a, add(a, d));
        const Vec3 e3_want = normalise(scale(d, -1.0f));
        SCOPED_TRACE(testing::Message() << "d = " << d.x << " " << d.y << " " << d.z);
        expect_vec_near(f.e3, e3_want, 1e-4f, "e3 points back along the direction");
        EXPECT_NEAR(dot(f.e1, f.e1), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(f.e2, f.e2), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(f.e1, f.e2), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(f.e1, f.e3), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(f.e2, f.e3), 0.0f, 1e-5f);
        EXPECT_EQ(f.e1.z, 0.0f) << "e1 is horizontal";
        expect_vec_near(cross(f.e1, f.e2), f.e3, 1e-5f, "right-handed");
    }
}

TEST(Discharge, FlashesAccumulateUntilRecordZeroComesRound) {
    const LightningSettings s = storm_settings(3);
    LightningState st;
    prepare_discharges(st, s);
    std::vector<SceneObject> objects(2);
    objects[0].vertices.resize(3);
    objects[1].vertices.resize(1);

    generate_discharge(st, s, 0, Vec3{0, 0, 9}, kFarEye, objects);
    expect_vec_near(st.object_flash_total, s.object_flash, 1e-7f, "total after record 0");
    expect_vec_near(st.sky_flash_colour, s.sky_flash, 1e-7f, "sky after record 0");
    expect_vec_near(objects[1].vertices[0].colour, s.object_flash, 1e-7f, "vertex after record 0");

    // Record 1 adds to the round; the caller did not relight, so the vertex gets the new total on top.
    generate_discharge(st, s, 1, Vec3{0, 0, 9}, kFarEye, objects);
    expect_vec_near(st.object_flash_total, scale(s.object_flash, 2), 1e-6f, "total after record 1");
    expect_vec_near(st.sky_flash_colour, scale(s.sky_flash, 2), 1e-6f, "sky after record 1");
    expect_vec_near(objects[0].vertices[2].colour, scale(s.object_flash, 3), 1e-6f, "vertex after record 1");

    // Record 0 restarts the round.
    generate_discharge(st, s, 0, Vec3{0, 0, 9}, kFarEye, objects);
    expect_vec_near(st.object_flash_total, s.object_flash, 1e-7f, "total after a new round");
    expect_vec_near(st.sky_flash_colour, s.sky_flash, 1e-7f, "sky after a new round");

    // Clearing drops the sky flash, the branches and the sources, not the object total or the thunder.
    st.discharges[0].thunder.thunder_pos.store(1234);
    const Vec3 vertex_before = objects[0].vertices[0].colour;
    clear_discharges(st, s, objects);
    expect_vec_near(st.sky_flash_colour, Vec3{}, 0.0f, "sky after clear");
    expect_vec_near(st.object_flash_total, s.object_flash, 1e-7f, "total after clear");
    expect_vec_near(objects[0].vertices[0].colour, vertex_before, 0.0f, "vertex after clear");
    EXPECT_EQ(st.discharges[0].branch_count, 0);
    EXPECT_EQ(st.discharges[1].branch_count, 0);
    EXPECT_EQ(st.sources.point_source_count, 0);
    EXPECT_EQ(st.discharges[0].thunder.thunder_pos.load(), 1234);
}

TEST(Discharge, StrikesTakeRecordsInTurnAndEarlierThunderRollsOn) {
    LightningSettings s = storm_settings(3);
    s.discharge_count = 3;
    LightningState st;
    prepare_discharges(st, s);
    std::vector<SceneObject> objects(1);
    objects[0].vertices.resize(1);
    SoundMixer mixer;
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    Sound thunder;
    thunder.length = thunder.value_count = 100000;
    thunder.samples.assign(100000, 0.25f);
    const std::vector<Sound> sounds{thunder};
    ThunderVoice* voices[] = {&st.discharges[0].thunder, &st.discharges[1].thunder,
                              &st.discharges[2].thunder};
    const int block = mixer.block_frames;

    ASSERT_EQ(strike_discharge(st, s, 0, Vec3{0, 0, 9}, kFarEye, objects), 0);
    mix_sound_block(mixer, sounds, voices, 3);
    mix_sound_block(mixer, sounds, voices, 3);
    EXPECT_EQ(voices[0]->thunder_pos.load(), 2 * block);
    objects[0].vertices[0].colour = Vec3{};  // as the viewer's relight does before every strike

    // The second strike fills record 1: the first discharge's branches go, its thunder does not.
    ASSERT_EQ(strike_discharge(st, s, 1, Vec3{5, 0, 9}, Vec3{0, -540000.0f, 5.0f}, objects), 1);
    EXPECT_EQ(st.discharges[0].branch_count, 0);
    EXPECT_GT(st.discharges[1].branch_count, 0);
    EXPECT_EQ(voices[0]->thunder_pos.load(), 2 * block) << "a new strike cut the rolling thunder";
    EXPECT_EQ(voices[1]->thunder_pos.load(), 0);
    // Flashes and lights are the newest discharge's alone.
    expect_vec_near(st.object_flash_total, s.object_flash, 1e-7f, "object flash of one strike");
    expect_vec_near(st.sky_flash_colour, s.sky_flash, 1e-7f, "sky flash of one strike");
    expect_vec_near(objects[0].vertices[0].colour, s.object_flash, 1e-7f, "vertex flash of one strike");
    LightningState alone;
    prepare_discharges(alone, s);
    for (int r = 0; r < 3; ++r) alone.discharges[static_cast<size_t>(r)].branch_count = 0;
    alone.discharges[1].branch_count = st.discharges[1].branch_count;
    alone.discharges[1].branches = st.discharges[1].branches;
    alone.discharges[1].channel_colour = st.discharges[1].channel_colour;
    alone.discharges[1].emission_colour = st.discharges[1].emission_colour;
    rebuild_point_sources(alone, s);
    EXPECT_EQ(st.sources.point_source_count, alone.sources.point_source_count);

    // Both voices sound in the same block, each at its own place and gain.
    mix_sound_block(mixer, sounds, voices, 3);
    EXPECT_EQ(voices[0]->thunder_pos.load(), 3 * block);
    EXPECT_EQ(voices[1]->thunder_pos.load(), block);
    EXPECT_NE(voices[0]->thunder_gain.load(), voices[1]->thunder_gain.load());
    EXPECT_NEAR(mixer.mix_block[0], 0.25f * (voices[0]->thunder_gain.load() + voices[1]->thunder_gain.load()),
                1e-5f);

    // Record 2, then record 0 again: only then does the first voice start over.
    EXPECT_EQ(strike_discharge(st, s, 2, Vec3{0, 5, 9}, kFarEye, objects), 2);
    EXPECT_EQ(voices[0]->thunder_pos.load(), 3 * block);
    EXPECT_EQ(strike_discharge(st, s, 3, Vec3{0, 5, 9}, kFarEye, objects), 0);
    EXPECT_EQ(voices[0]->thunder_pos.load(), 0);
    EXPECT_EQ(voices[1]->thunder_pos.load(), block);
    reset_sound_mixer(mixer);

    EXPECT_EQ(strike_record(7, 1), 0);
    EXPECT_EQ(strike_record(7, 0), 0);
    LightningState none;
    EXPECT_EQ(strike_discharge(none, s, 0, Vec3{0, 0, 9}, kFarEye, objects), -1);
}

TEST(Discharge, OneRecordStrikesAsASingleGeneration) {
    // With one record every strike fills record 0, the same draws as generating record 0 each time.
    LightningSettings s = storm_settings(11);
    s.discharge_count = 1;
    LightningState a, b;
    prepare_discharges(a, s);
    prepare_discharges(b, s);
    std::vector<SceneObject> none;
    for (int n = 0; n < 3; ++n) {
        const Vec3 start{static_cast<float>(n), 0.0f, 9.0f};
        ASSERT_EQ(strike_discharge(a, s, n, start, kFarEye, none), 0);
        generate_discharge(b, s, 0, start, kFarEye, none);
        ASSERT_EQ(a.sources.point_source_count, b.sources.point_source_count) << n;
        for (int i = 0; i < a.sources.point_source_count; ++i)
            ASSERT_EQ(a.sources.point_source_pos[static_cast<size_t>(i)].x,
                      b.sources.point_source_pos[static_cast<size_t>(i)].x);
        expect_vec_near(a.sky_flash_colour, b.sky_flash_colour, 0.0f, "sky");
    }
}

TEST(Discharge, ThunderStartsWithDistanceGain) {
    const LightningSettings s = storm_settings(3);
    LightningState st;
    prepare_discharges(st, s);
    EXPECT_EQ(st.discharges[1].thunder.thunder_pos.load(), -1) << "silent until generated";
    EXPECT_EQ(st.discharges[1].thunder.thunder_wave.load(), -1);
    std::vector<SceneObject> objects;
    const Vec3 p{1, 2, 9};
    const struct {
        float distance, gain;
    } cases[] = {{0.0f, 1.0f}, {400000.0f, 1.0f}, {525000.0f, 500000.0f / 525000.0f}, {1e6f, 0.9f}};
    for (const auto& c : cases) {
        generate_discharge(st, s, 1, p, add(p, Vec3{0, c.distance, 0}), objects);
        EXPECT_EQ(st.discharges[1].thunder.thunder_pos.load(), 0);
        EXPECT_EQ(st.discharges[1].thunder.thunder_wave.load(), 0);
        EXPECT_FLOAT_EQ(st.discharges[1].thunder.thunder_gain.load(), c.gain) << "distance " << c.distance;
    }
}

TEST(Discharge, BadIndexOrNoRecordsDoesNothing) {
    LightningSettings s = storm_settings(3);
    LightningState st;
    std::vector<SceneObject> objects(1);
    objects[0].vertices.resize(1);
    generate_discharge(st, s, 0, Vec3{0, 0, 9}, kFarEye, objects);  // nothing prepared
    prepare_discharges(st, s);
    const uint32_t seeded = st.random.s;
    generate_discharge(st, s, -1, Vec3{0, 0, 9}, kFarEye, objects);
    generate_discharge(st, s, 2, Vec3{0, 0, 9}, kFarEye, objects);
    EXPECT_EQ(st.random.s, seeded);
    expect_vec_near(objects[0].vertices[0].colour, Vec3{}, 0.0f, "no flash");
    expect_vec_near(st.sky_flash_colour, Vec3{}, 0.0f, "no sky flash");

    // A negative count gives no records; clearing them is harmless.
    s.discharge_count = -5;
    prepare_discharges(st, s);
    EXPECT_EQ(st.discharge_count, 0);
    clear_discharges(st, s, objects);
    EXPECT_EQ(st.sources.point_source_count, 0);
}

TEST(Discharge, SameSeedAndClicksGiveTheSameChannels) {
    const LightningSettings s = storm_settings(77);
    std::vector<SceneObject> objects;
    auto run = [&](LightningState& st) {
        prepare_discharges(st, s);
        advance_lightning_random(st.random, 60000);
        generate_discharge(st, s, 0, Vec3{1, 1, 12}, kFarEye, objects);
        clear_discharges(st, s, objects);
        generate_discharge(st, s, 0, Vec3{-3, 5, 15}, kFarEye, objects);
    };
    LightningState a, b;
    run(a);
    run(b);
    ASSERT_EQ(a.discharges[0].branch_count, b.discharges[0].branch_count);
    for (int i = 0; i < a.discharges[0].branch_count; ++i) {
        const Branch& x = a.discharges[0].branches[static_cast<size_t>(i)];
        const Branch& y = b.discharges[0].branches[static_cast<size_t>(i)];
        ASSERT_EQ(x.point_count, y.point_count);
        for (int k = 0; k < x.point_count; ++k)
            expect_vec_near(x.points[static_cast<size_t>(k)], y.points[static_cast<size_t>(k)], 0.0f,
                            "point");
    }
    // Preparing again reseeds and drops the sources.
    prepare_discharges(a, s);
    EXPECT_EQ(a.random.s, 77u);
    EXPECT_EQ(a.sources.point_source_capacity, 0);
}

TEST(Discharge, WholeDischargeMatchesReference) {
    // Expected values from tests/lightning/reference_discharge.py (seed 35, 60000
    // warm-up draws, start (2, -3, 9)): a separate implementation of the growth
    // rules in single-precision Python. The main channel ends below ground and
    // still starts a child at that last point.
    struct Want {
        int level;
        std::vector<Vec3> points;
    };
    const std::vector<Want> want = {
        {0,
         {{2.000000f, -3.000000f, 9.000000f},
          {2.690660f, -3.690794f, 8.158605f},
          {3.577897f, -4.527788f, 5.457085f},
          {4.093786f, -4.825852f, 3.914590f},
          {4.920568f, -6.073592f, 2.333122f},
          {5.119176f, -6.087783f, 1.121344f},
          {5.412499f, -6.439782f, 0.121544f},
          {5.648369f, -8.048991f, -0.904438f}}},
        {1,
         {{4.093786f, -4.825852f, 3.914590f},
          {4.148413f, -4.685743f, 2.449509f},
          {2.972771f, -4.365996f, 0.647567f},
          {2.424868f, -4.091728f, -2.277723f}}},
        {1,
         {{4.920568f, -6.073592f, 2.333122f},
          {4.302317f, -5.769135f, 1.464541f},
          {4.083280f, -5.596733f, 0.039833f},
          {4.097051f, -5.380859f, -1.447819f}}},
        {1,
         {{5.119176f, -6.087783f, 1.121344f},
          {5.094694f, -6.858922f, 0.005466f},
          {4.783022f, -7.332187f, -1.256974f}}},
        {1, {{5.648369f, -8.048991f, -0.904438f}, {5.630910f, -6.529663f, -3.026775f}}},
    };
    const LightningSettings s = storm_settings(35);
    LightningState st;
    prepare_discharges(st, s);
    advance_lightning_random(st.random, 60000);
    std::vector<SceneObject> objects;
    generate_discharge(st, s, 0, Vec3{2, -3, 9}, kFarEye, objects);

    const DischargeRecord& r = st.discharges[0];
    ASSERT_EQ(r.branch_count, static_cast<int>(want.size()));
    for (size_t b = 0; b < want.size(); ++b) {
        const Branch& got = r.branches[b];
        EXPECT_EQ(got.level, want[b].level) << "branch " << b;
        ASSERT_EQ(got.point_count, static_cast<int>(want[b].points.size())) << "branch " << b;
        for (size_t k = 0; k < want[b].points.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "branch " << b << " point " << k);
            expect_vec_near(got.points[k], want[b].points[k], 1e-3f, "point");
        }
    }
    EXPECT_EQ(st.random.s, 2539954994u) << "every draw of the tree was made, no more";
    EXPECT_EQ(st.sources.point_source_count, 21);
    Vec3 total{};
    for (int i = 0; i < st.sources.point_source_count; ++i)
        total = add(total, st.sources.point_source_int[static_cast<size_t>(i)]);
    expect_vec_near(total, Vec3{10.180374f, 4.072150f, 24.432898f}, 1e-3f, "total intensity");
    EXPECT_FLOAT_EQ(r.thunder.thunder_gain.load(), 1.0f);
}
