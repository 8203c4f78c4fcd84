// thunder_synthesis_test.cpp -- arrival, spreading, N-wave length, absorption, strokes and the ceiling
#include "sound/thunder_synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double kC = 343.0;

// Magnitude-weighted mean frequency over a grid of 20 Hz steps up to 4 kHz.
double spectral_centroid(const std::vector<float>& x) {
    double num = 0.0, den = 0.0;
    for (double f = 20.0; f <= 4000.0; f += 20.0) {
        double re = 0.0, im = 0.0;
        const double w = 2.0 * 3.14159265358979 * f / kThunderRate;
        for (size_t i = 0; i < x.size(); ++i) {
            re += x[i] * std::cos(w * static_cast<double>(i));
            im -= x[i] * std::sin(w * static_cast<double>(i));
        }
        num += f * std::sqrt(re * re + im * im);
        den += std::sqrt(re * re + im * im);
    }
    return num / den;
}

float peak_of(const std::vector<float>& x) {
    float p = 0.0f;
    for (float v : x) p = std::max(p, std::fabs(v));
    return p;
}

// First and last sample (from the strike) whose magnitude reaches `share` of the peak.
std::pair<int64_t, int64_t> audible_span(const SynthesisedThunder& t, float share) {
    const float limit = peak_of(t.samples) * share;
    int64_t first = -1, last = -1;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        if (std::fabs(t.samples[i]) < limit || t.samples[i] == 0.0f) continue;
        if (first < 0) first = static_cast<int64_t>(i);
        last = static_cast<int64_t>(i);
    }
    return {t.first_sample + first, t.first_sample + last};
}

ThunderParams loud_params(bool absorption) {
    ThunderParams p;
    p.absorption = absorption;
    p.ceiling = std::numeric_limits<float>::max();
    return p;
}

// A 20 m segment seen broadside from `distance` metres.
std::vector<ThunderSegment> broadside(double distance) {
    const float d = static_cast<float>(distance);
    return {ThunderSegment{Vec3{d, -10.0f, 500.0f}, Vec3{d, 10.0f, 500.0f}, 1.0f}};
}

TEST(ThunderSynthesis, StraightSegmentArrivesAtDistanceOverCFallsAsOneOverRAsAnNWave) {
    const Vec3 ear{0.0f, 0.0f, 500.0f};
    const ThunderParams p = loud_params(false);
    const SynthesisedThunder near = synthesise_thunder(broadside(686.0), ear, p);
    const SynthesisedThunder far = synthesise_thunder(broadside(1372.0), ear, p);
    // Onset: the first sample that sounds is the one distance / c says (2 s and 4 s).
    EXPECT_NEAR(audible_span(near, 1e-6f).first, 2 * kThunderRate, 1);
    EXPECT_NEAR(audible_span(far, 1e-6f).first, 4 * kThunderRate, 1);
    EXPECT_NEAR(peak_of(near.samples) / peak_of(far.samples), 2.0, 0.03);
    // A compression, then a rarefaction of the same length, as long as asked: count the samples
    // of each sign in the pulse.
    for (const SynthesisedThunder* t : {&near, &far}) {
        const double distance = t == &near ? 686.0 : 1372.0;
        const double expected = nwave_seconds(distance, p) * kThunderRate;
        int positive = 0, negative = 0;
        const float floor = peak_of(t->samples) * 0.02f;
        for (float v : t->samples) {
            if (v > floor) ++positive;
            if (v < -floor) ++negative;
        }
        EXPECT_NEAR(positive + negative, expected, 6) << distance;
        EXPECT_NEAR(positive, negative, 3) << distance;
    }
    // Doubling the energy per metre lengthens the N-wave by the square root of two.
    ThunderParams strong = p;
    strong.energy_per_metre *= 2.0;
    EXPECT_NEAR(nwave_seconds(0.5, strong) / nwave_seconds(0.5, p), std::sqrt(2.0), 1e-9);
    EXPECT_GT(nwave_seconds(1372.0, p), nwave_seconds(686.0, p));
    EXPECT_NEAR(nwave_seconds(1.0, p), 2.6 * relaxation_radius(p.energy_per_metre) / kC, 1e-4);
    EXPECT_GT(relaxation_radius(1e5), 0.5);
    EXPECT_LT(relaxation_radius(1e6), 2.0);
}

TEST(ThunderSynthesis, LongVerticalChannelRumblesFromNearestToFarthest) {
    // 3 km from the cloud base to the ground, tortuous as real channels are, heard on the ground
    // 2 km from its foot. (A perfectly straight one would only click at its ends: the N-waves of
    // a smooth stream of arrivals cancel.)
    const std::vector<ThunderSegment> channel =
        tortuous_channel({ThunderSegment{Vec3{0, 0, 3000}, Vec3{0, 0, 0}, 1.0f}}, 25.0);
    const Vec3 ear{2000.0f, 0.0f, 0.0f};
    const ThunderParams p;
    const ThunderPlan plan = plan_thunder(channel, ear, p);
    EXPECT_NEAR(plan.nearest_m, 2000.0, 200.0);  // the pieces wander off the straight line
    EXPECT_NEAR(plan.farthest_m, std::sqrt(2000.0 * 2000.0 + 3000.0 * 3000.0), 1e-2);
    const SynthesisedThunder t = synthesise_thunder(channel, ear, p);
    EXPECT_EQ(t.first_sample, plan.first_sample);
    EXPECT_EQ(static_cast<int64_t>(t.samples.size()), plan.sample_count);
    // Heard from the nearest point's arrival to the farthest's: the first clap on time, then a
    // rumble that never falls silent (every quarter second holds some sound) until the farthest
    // piece has arrived, and nothing after it.
    const auto span = audible_span(t, 0.01f);
    EXPECT_NEAR(span.first, plan.nearest_m / kC * kThunderRate, 0.004 * kThunderRate);
    const float peak = peak_of(t.samples);
    const int64_t quarter = kThunderRate / 4;
    const int64_t last = static_cast<int64_t>(plan.farthest_m / kC * kThunderRate) - t.first_sample;
    for (int64_t from = span.first - t.first_sample; from + quarter <= last; from += quarter) {
        float loudest = 0.0f;
        for (int64_t i = from; i < from + quarter; ++i)
            loudest = std::max(loudest, std::fabs(t.samples[static_cast<size_t>(i)]));
        EXPECT_GT(loudest, 0.002f * peak) << "quiet quarter second from sample " << from + t.first_sample;
    }
    const int64_t after = last + static_cast<int64_t>(0.15 * kThunderRate);
    for (int64_t i = after; i < static_cast<int64_t>(t.samples.size()); ++i)
        ASSERT_LT(std::fabs(t.samples[static_cast<size_t>(i)]), 1e-4f * peak)
            << "sound after the farthest arrival";
}

TEST(ThunderSynthesis, FarStrikeIsLowerAndQuieterThanTheSameChannelNear) {
    // A tortuous 2 km channel with a branch, heard 1.5 km and 9 km away.
    const std::vector<ThunderSegment> straight{
        ThunderSegment{Vec3{0, 0, 2000}, Vec3{150, 40, 1200}, 1.0f},
        ThunderSegment{Vec3{150, 40, 1200}, Vec3{60, -30, 0}, 1.0f},
        ThunderSegment{Vec3{150, 40, 1200}, Vec3{500, 200, 900}, 0.5f}};
    const std::vector<ThunderSegment> channel = tortuous_channel(straight, 25.0);
    EXPECT_GT(channel.size(), 60u);
    EXPECT_EQ(tortuous_channel(straight, 25.0).back().b.x, channel.back().b.x);  // same channel, same pieces
    ThunderParams p = loud_params(true);
    const SynthesisedThunder near = synthesise_thunder(channel, Vec3{1500, 0, 2}, p);
    const SynthesisedThunder far = synthesise_thunder(channel, Vec3{9000, 0, 2}, p);
    const double near_centroid = spectral_centroid(near.samples),
                 far_centroid = spectral_centroid(far.samples);
    EXPECT_LT(far_centroid, 0.7 * near_centroid)
        << near_centroid << " Hz near, " << far_centroid << " Hz far";
    EXPECT_LT(peak_of(far.samples), 0.25f * peak_of(near.samples));
}

TEST(ThunderSynthesis, AirAbsorptionFollowsTheOctaveTable) {
    // dB/km at 20 degrees C and 70 % humidity, octave bands 63 Hz to 8 kHz.
    const double table[][2] = {{63, 0.1},   {125, 0.3},  {250, 1.1},   {500, 2.8},
                               {1000, 5.0}, {2000, 9.0}, {4000, 22.9}, {8000, 76.6}};
    const AirConditions air;
    for (const auto& row : table) {
        // The octave bands' exact mid-frequencies are powers of ten to tenths of three.
        const double f = 1000.0 * std::pow(10.0, 0.3 * std::round(std::log10(row[0] / 1000.0) / 0.3));
        EXPECT_NEAR(air_absorption_db_per_metre(f, air) * 1000.0, row[1], std::max(0.05, 0.03 * row[1]))
            << row[0];
    }
    // Drier air absorbs the middle frequencies more.
    AirConditions dry = air;
    dry.humidity_percent = 20.0;
    EXPECT_GT(air_absorption_db_per_metre(2000.0, dry), air_absorption_db_per_metre(2000.0, air));
}

TEST(ThunderSynthesis, StrokesAddTheirShockWavesAlongOneChannelAtTheirOwnTimes) {
    const std::vector<ThunderSegment> channel =
        tortuous_channel({ThunderSegment{Vec3{0, 0, 1500}, Vec3{100, 0, 0}, 1.0f}}, 25.0);
    const Vec3 ear{2500, 0, 2};
    const ThunderParams p = loud_params(true);
    const SynthesisedThunder one = synthesise_thunder(channel, ear, p);
    const SynthesisedThunder same = synthesise_thunder(channel, ear, p, {ThunderStroke{0.0, 1.0f}});
    EXPECT_EQ(one.samples, same.samples);
    const SynthesisedThunder later = synthesise_thunder(channel, ear, p, {ThunderStroke{0.07, 0.5f}});
    const SynthesisedThunder flash =
        synthesise_thunder(channel, ear, p, {ThunderStroke{0.0, 1.0f}, ThunderStroke{0.07, 0.5f}});
    EXPECT_EQ(later.first_sample - one.first_sample, static_cast<int64_t>(0.07 * kThunderRate));
    const float tolerance = 1e-4f * peak_of(one.samples);
    for (size_t i = 0; i < flash.samples.size(); ++i) {
        const int64_t at = flash.first_sample + static_cast<int64_t>(i);
        float expected = 0.0f;
        for (const SynthesisedThunder* part : {&one, &later}) {
            const int64_t j = at - part->first_sample;
            if (j >= 0 && j < static_cast<int64_t>(part->samples.size()))
                expected += part->samples[static_cast<size_t>(j)];
        }
        ASSERT_NEAR(flash.samples[i], expected, tolerance) << "sample " << at;
    }
}

TEST(ThunderSynthesis, NoSampleGoesPastTheCeilingAndTheReferencePeaksWhereAsked) {
    ThunderParams p;
    p.gain = 1000.0f;
    p.ceiling = 0.7f;
    const SynthesisedThunder close = synthesise_thunder(broadside(10.0), Vec3{0, 0, 500}, p);
    EXPECT_FLOAT_EQ(peak_of(close.samples), 0.7f);
    ThunderParams scene;
    scene.gain = reference_thunder_gain(1875.0, 0.9f, 0.5f, scene);
    scene.ceiling = 1.0f;
    const SynthesisedThunder reference = synthesise_thunder(
        {ThunderSegment{Vec3{0, 0, 1875}, Vec3{0, 0, 0}, 0.9f}}, Vec3{1875, 0, 1.5f}, scene);
    EXPECT_NEAR(peak_of(reference.samples), 0.5f, 1e-4f);
    // Nothing to hear: no segments, or only empty ones.
    EXPECT_TRUE(synthesise_thunder({}, Vec3{}, p).samples.empty());
    EXPECT_EQ(plan_thunder({ThunderSegment{Vec3{1, 1, 1}, Vec3{1, 1, 1}, 1.0f}}, Vec3{}, p).sample_count, 0);
}

}  // namespace
