// flash_test.cpp -- stroke statistics of generated flashes and the light that frames receive
#include "lightning/flash.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(Flash, StatisticsOfManyFlashesMatchMeasuredStorms) {
    FlashRandom random;
    seed_flash_random(random, 12345);
    constexpr int kFlashes = 20000;
    double strokes = 0.0, singles = 0.0, continuing = 0.0, multi = 0.0, stronger = 0.0;
    double log_gap = 0.0, log_gap2 = 0.0, log_peak = 0.0;
    int gaps = 0;
    for (int f = 0; f < kFlashes; ++f) {
        const Flash flash = draw_flash(random);
        ASSERT_GE(flash.strokes.size(), 1u);
        ASSERT_LE(flash.strokes.size(), static_cast<size_t>(kMaxFlashStrokes));
        EXPECT_EQ(flash.strokes[0].time_s, 0.0f);
        EXPECT_EQ(flash.strokes[0].peak, 1.0f);
        strokes += static_cast<double>(flash.strokes.size());
        singles += flash.strokes.size() == 1;
        continuing += flash.continuing_s > 0.0f;
        bool any_stronger = false;
        for (size_t k = 1; k < flash.strokes.size(); ++k) {
            const double gap = flash.strokes[k].time_s - flash.strokes[k - 1].time_s;
            ASSERT_GT(gap, 0.0) << "flash " << f << " stroke " << k;
            log_gap += std::log10(gap);
            log_gap2 += std::log10(gap) * std::log10(gap);
            log_peak += std::log10(flash.strokes[k].peak);
            any_stronger |= flash.strokes[k].peak > 1.0f;
            ++gaps;
        }
        if (flash.strokes.size() > 1) {
            ++multi;
            stronger += any_stronger;
        }
    }
    // Means within 10 % of the measured figures: 3.3 to 4 strokes, 30 % single, 60 to 70 ms between
    // strokes spread over 0.32 decades, later peaks 0.52 of the first, 40 % with a stronger later
    // stroke, 30 to 50 % with a continuing current.
    EXPECT_NEAR(strokes / kFlashes, 3.5, 0.35);
    EXPECT_NEAR(singles / kFlashes, 0.30, 0.03);
    const double mean_log_gap = log_gap / gaps;
    EXPECT_NEAR(std::pow(10.0, mean_log_gap), 0.065, 0.0065);
    EXPECT_NEAR(std::sqrt(log_gap2 / gaps - mean_log_gap * mean_log_gap), 0.32, 0.032);
    EXPECT_NEAR(std::pow(10.0, log_peak / gaps), 0.52, 0.052);
    EXPECT_NEAR(stronger / multi, 0.40, 0.04);
    EXPECT_NEAR(continuing / kFlashes, 0.40, 0.04);

    // The stream is the flash's own: the same seed draws the same flashes.
    FlashRandom a, b;
    seed_flash_random(a, 7);
    seed_flash_random(b, 7);
    const Flash fa = draw_flash(a), fb = draw_flash(b);
    ASSERT_EQ(fa.strokes.size(), fb.strokes.size());
    for (size_t k = 0; k < fa.strokes.size(); ++k) EXPECT_EQ(fa.strokes[k].time_s, fb.strokes[k].time_s);
}

TEST(Flash, FramesAtAnyRateReceiveTheWholeLightAndFlicker) {
    FlashRandom random;
    seed_flash_random(random, 99);
    for (int f = 0; f < 200; ++f) {
        const Flash flash = draw_flash(random);
        const double total = flash_total_light(flash);
        for (double fps : {5.0, 24.0, 30.0, 60.0, 144.0}) {
            // The strike falls somewhere inside its first frame.
            const double dt = 1.0 / fps, start = -0.37 * dt;
            double sum = 0.0;
            for (double t = start; t < flash_end(flash) + dt; t += dt)
                sum += flash_light_between(flash, t, t + dt);
            EXPECT_NEAR(sum, total, 1e-6 * total) << describe_flash(flash) << " at " << fps << " frames/s";
        }
    }

    // A single stroke lights one frame fully and the next not at all: the one frame of a discharge.
    const Flash one = single_stroke_flash();
    EXPECT_NEAR(flash_light_between(one, 0.0, 1.0 / 30), 1.0, 1e-9);
    EXPECT_NEAR(flash_light_between(one, 1.0 / 30, 2.0 / 30), 0.0, 1e-9);
    EXPECT_EQ(describe_flash(one), "flash: 1 stroke at 0 ms (1.00)");

    // Three strokes 70 ms apart flicker at 30 frames per second: lit, dark, lit frames.
    Flash three;
    three.strokes = {FlashStroke{0.0f, 1.0f}, FlashStroke{0.070f, 0.5f}, FlashStroke{0.140f, 0.6f}};
    std::vector<double> frames;
    for (int k = 0; k < 6; ++k) frames.push_back(flash_light_between(three, k / 30.0, (k + 1) / 30.0));
    EXPECT_GT(frames[0], 0.99);
    EXPECT_LT(frames[1], 1e-6);
    EXPECT_GT(frames[2], 0.49);
    EXPECT_GT(frames[4], 0.59);
    EXPECT_EQ(describe_flash(three), "flash: 3 strokes at 0 ms (1.00), 70 ms (0.50), 140 ms (0.60)");
    // At 5 frames per second the whole flash falls in one frame.
    EXPECT_NEAR(flash_light_between(three, 0.0, 0.2), 2.1, 1e-6);

    // Played back on a clock: frames take the light since the one before, a redraw keeps it, and the
    // playback ends with the frame that reaches the flash's end.
    FlashPlayback p;
    start_flash_playback(p, three, 10.0);
    double shown = 0.0;
    int frames_lit = 0;
    for (int k = 1; p.active && k < 100; ++k) {
        const float level = advance_flash_playback(p, 10.0 + k / 30.0);
        EXPECT_EQ(advance_flash_playback(p, 10.0 + k / 30.0), level);
        shown += level;
        frames_lit += level > 0.01f;
    }
    EXPECT_FALSE(p.active);
    EXPECT_NEAR(shown, flash_total_light(three), 1e-5);
    EXPECT_EQ(frames_lit, 3);
    EXPECT_EQ(advance_flash_playback(p, 99.0), 0.0f);
}
