// camera_path_test.cpp -- flying the key views: through every key, smooth, looping, rolled
#include "app/camera_path.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Key views on an uneven loop (so a spline that ignored a neighbour would miss), with a
// field of view and an up vector that change, spaced `interval` frames from `first`.
KeyViews uneven_loop(int first, int interval) {
    KeyViews kv;
    const float eyes[5][3] = {{100, 0, 5}, {20, 80, 12}, {-90, 30, 3}, {-40, -70, 20}, {60, -50, 8}};
    for (int i = 0; i < 5; ++i) {
        KeyView v;
        v.pose = {eyes[i][0], eyes[i][1], eyes[i][2], 1.0f * i, -2.0f * i, 40.0f + i, 0.1f * i, 0.0f, 1.0f};
        v.extra = {50.0f + 5.0f * i, 0.0f, 0.0f};
        v.frame = first + interval * i;
        kv.views.push_back(v);
    }
    return kv;
}

float distance(Vec3 a, Vec3 b) { return length(sub(a, b)); }

}  // namespace

TEST(CameraPath, PassesThroughEveryKeyViewAtItsFrameAndLoops) {
    const KeyViews kv = uneven_loop(7, 30);
    const double period = key_path_period(kv);
    ASSERT_EQ(period, 150.0);  // four spans, then one more back to the first view
    for (const KeyView& v : kv.views) {
        const KeyPose want = key_pose(v);
        for (double loop : {0.0, 1.0, -2.0}) {
            const KeyPose got = sample_key_path(kv, v.frame + loop * period);
            EXPECT_LT(distance(got.eye, want.eye), 1e-3f) << "frame " << v.frame << " loop " << loop;
            EXPECT_LT(distance(got.target, want.target), 1e-3f);
            EXPECT_LT(distance(got.up, want.up), 1e-4f);
            EXPECT_NEAR(got.fovy, want.fovy, 1e-4f);
        }
    }
}

TEST(CameraPath, MovesWithoutJumpsOrKinksAcrossKeyViewsAndTheLoopEnd) {
    const KeyViews kv = uneven_loop(0, 30);
    const double period = key_path_period(kv);
    // No jumps: over a whole loop and past its end, no step of a hundredth of a frame moves
    // the eye or the target further than the fastest span allows.
    const double h = 0.01;
    float longest = 0.0f;
    for (double f = -1.0; f < period + 1.0; f += h) {
        const KeyPose a = sample_key_path(kv, f), b = sample_key_path(kv, f + h);
        longest = std::fmax(longest, std::fmax(distance(a.eye, b.eye), distance(a.target, b.target)));
    }
    EXPECT_LT(longest, 0.1f);  // a key view spacing of ~130 units over 30 frames moves < 0.05 per step
    // No kinks: at every key view, the last frame also where the loop closes, the velocity
    // arriving equals the velocity leaving.
    for (const KeyView& v : kv.views) {
        for (double at : {static_cast<double>(v.frame), v.frame + period}) {
            const Vec3 before = sub(sample_key_path(kv, at).eye, sample_key_path(kv, at - h).eye);
            const Vec3 after = sub(sample_key_path(kv, at + h).eye, sample_key_path(kv, at).eye);
            EXPECT_LT(distance(before, after), 0.02f * length(after)) << "at frame " << at;
        }
    }
}

TEST(CameraPath, NeedsTwoViewsWithRisingFrames) {
    KeyViews kv = uneven_loop(0, 30);
    kv.views.resize(1);
    EXPECT_EQ(key_path_period(kv), 0.0);
    // A single view stands still rather than reading past the table.
    EXPECT_LT(distance(sample_key_path(kv, 12.0).eye, key_pose(kv.views[0]).eye), 1e-6f);
    EXPECT_EQ(key_path_period(KeyViews{}), 0.0);
    EXPECT_EQ(key_path_period(uneven_loop(0, 0)), 0.0);   // -key_interval 0
    EXPECT_EQ(key_path_period(uneven_loop(5, -3)), 0.0);  // falling frames
    EXPECT_EQ(key_path_period(uneven_loop(5, 1)), 5.0);
}

TEST(CameraPath, PlacedCameraLooksAlongThePoseAndDragsOnFromIt) {
    Camera c;
    c.win_width = c.win_height = 480;
    c.aspect = 1.0f;
    KeyPose p;
    p.eye = Vec3{30, 40, 10};
    p.target = Vec3{0, 0, 10};
    p.up = Vec3{0, 0, 2};  // level: only the direction counts
    p.fovy = 45.0f;
    place_camera(c, p);
    EXPECT_FLOAT_EQ(c.distance, 50.0f);
    EXPECT_NEAR(c.azimuth, std::atan2(40.0f, 30.0f), 1e-6f);
    EXPECT_NEAR(c.elevation, 0.0f, 1e-6f);
    EXPECT_EQ(c.roll, 0.0f);
    EXPECT_EQ(c.fovy, 45.0f);
    EXPECT_LT(distance(c.view_dir, Vec3{-0.6f, -0.8f, 0.0f}), 1e-6f);
    EXPECT_LT(distance(c.up, Vec3{0, 0, 1}), 1e-6f);
    // A drag of zero pixels keeps the eye where the flight left it.
    rotate_view(c, 10, 10, 10, 10, kRotateMode);
    EXPECT_LT(distance(c.eye, p.eye), 1e-4f);

    // An up leaning to the right rolls the view: the basis up follows it, right stays square.
    p.up = Vec3{-0.8f, 0.6f, 1.0f};  // (-0.8, 0.6, 0) is the level "right" of this view
    place_camera(c, p);
    EXPECT_NEAR(c.roll, -std::atan2(1.0f, 1.0f), 1e-5f);
    EXPECT_LT(distance(c.up, normalise(p.up)), 1e-5f);
    EXPECT_NEAR(dot(c.right, c.up), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(c.right, c.view_dir), 0.0f, 1e-6f);

    // An up along the line of sight, a zero up and a field of view of 0 keep a level view
    // and the old field of view; an eye on its target is ignored.
    p.up = Vec3{-3, -4, 0};
    p.fovy = 0.0f;
    place_camera(c, p);
    EXPECT_EQ(c.roll, 0.0f);
    EXPECT_EQ(c.fovy, 45.0f);
    p.up = Vec3{};
    place_camera(c, p);
    EXPECT_EQ(c.roll, 0.0f);
    p.target = p.eye;
    place_camera(c, p);
    EXPECT_FLOAT_EQ(c.distance, 50.0f);
}

TEST(CameraPath, FlightsFollowTheFrameCountOrTheWallClockAndResumeWhereTheyStopped) {
    CameraFlight f;
    f.frame = 40.0;
    resume_flight(f, 7, 100.0);
    // On the frame clock: one path frame per frame drawn since the start, whatever the time.
    EXPECT_EQ(flight_frame(f, true, 7, 999.0, 30.0), 40.0);
    EXPECT_EQ(flight_frame(f, true, 10, 100.0, 30.0), 43.0);
    // Interactive: 30 path frames per second of wall time, however many frames were drawn.
    EXPECT_DOUBLE_EQ(flight_frame(f, false, 7, 100.5, 30.0), 55.0);
    EXPECT_DOUBLE_EQ(flight_frame(f, false, 500, 100.5, 30.0), 55.0);
    EXPECT_DOUBLE_EQ(flight_frame(f, false, 8, 99.0, 30.0), 40.0);  // a clock that steps back holds still
    // Stopped at 55 and started again later: on from 55, not from where the wall clock would put it.
    f.frame = 55.0;
    resume_flight(f, 20, 300.0);
    EXPECT_DOUBLE_EQ(flight_frame(f, false, 21, 301.0, 30.0), 85.0);
}
