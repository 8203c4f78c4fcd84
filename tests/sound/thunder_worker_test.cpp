// thunder_worker_test.cpp -- a slow synthesis never holds up the tick, and its voice starts where time says
#include "sound/thunder_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sound/mixer.h"

namespace {

constexpr int64_t kFirstSample = 800;
constexpr int32_t kLength = 12000;

// Far slower than any tick: the buffer arrives some 30 ticks after the strike.
SynthesisedThunder slow_synthesis(const ThunderJob&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SynthesisedThunder t;
    t.first_sample = kFirstSample;
    for (int32_t i = 0; i < kLength; ++i) t.samples.push_back(1e-4f * static_cast<float>(i + 1));
    return t;
}

TEST(ThunderWorker, TicksStayOnTimeWhileSynthesisIsSlowAndTheVoiceStartsAtItsArrivalSample) {
    SoundMixer mixer;
    allocate_sound_buffers(mixer, 0.01f, 1.0f);  // 160 values a tick
    const int32_t block = mixer.block_frames;
    ThunderWorker worker;
    worker.synthesise = slow_synthesis;
    ThunderVoice voice;
    ThunderVoice* voices[] = {&voice};
    const std::vector<Sound> no_sounds;

    // A strike before this one left a buffer that must not play for the new strike.
    ThunderJob old_job;
    old_job.voice = &voice;
    old_job.generation = start_synthesised_voice(voice, 1.0f);
    submit_thunder(worker, old_job);
    wait_for_thunder(worker);
    ASSERT_NE(voice.synth.load(), nullptr);

    ThunderJob job;
    job.voice = &voice;
    job.generation = start_synthesised_voice(voice, 0.5f);
    submit_thunder(worker, job);
    double slowest = 0.0;
    std::vector<float> heard;
    for (int tick = 0; tick < 100; ++tick) {
        const auto start = std::chrono::steady_clock::now();
        mix_sound_block(mixer, no_sounds, voices, 1);
        slowest = std::max(slowest,
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        heard.insert(heard.end(), mixer.mix_block.begin(), mixer.mix_block.begin() + block);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    wait_for_thunder(worker);
    EXPECT_LT(slowest, 0.02);

    // Silent until the buffer came, then exactly the buffer's sample for each moment since the
    // strike: its start, already past, is not played late.
    int64_t first_heard = -1;
    for (size_t i = 0; i < heard.size(); ++i) {
        if (static_cast<int64_t>(i) >= kFirstSample + kLength) {
            ASSERT_EQ(heard[i], 0.0f) << "value " << i << " after the end";
            continue;
        }
        if (heard[i] == 0.0f) {
            ASSERT_EQ(first_heard, -1) << "a gap after the thunder began, at " << i;
            continue;
        }
        if (first_heard < 0) first_heard = static_cast<int64_t>(i);
        const int64_t j = static_cast<int64_t>(i) - kFirstSample;
        ASSERT_FLOAT_EQ(heard[i], 0.5f * 1e-4f * static_cast<float>(j + 1)) << "value " << i;
    }
    ASSERT_GT(first_heard, kFirstSample);
    EXPECT_EQ(first_heard % block, 0);  // from the first tick after it was ready
    EXPECT_LT(first_heard, kFirstSample + kLength);
    // Once the buffer's end has passed the voice is silent again.
    EXPECT_EQ(voice.thunder_pos.load(), -1);
    stop_thunder_worker(worker);
    EXPECT_EQ(voice.synth.load(), nullptr);
    EXPECT_TRUE(worker.owned.empty());
}

TEST(ThunderWorker, ReplacedBuffersAreFreedOnlyAfterTheVoiceWasMixedAgain) {
    ThunderWorker worker;
    ThunderVoice voice;
    for (int strike = 0; strike < 3; ++strike) {
        ThunderJob job;
        job.voice = &voice;
        job.generation = start_synthesised_voice(voice, 1.0f);
        job.channel = {ThunderSegment{Vec3{0, 0, 100}, Vec3{0, 0, 0}, 1.0f}};
        job.listener = Vec3{100, 0, 0};
        submit_thunder(worker, job);
        wait_for_thunder(worker);
    }
    // No mix ran, so the two replaced buffers are kept besides the current one.
    EXPECT_EQ(worker.owned.size(), 3u);
    EXPECT_EQ(voice.synth.load()->generation, voice.synth_generation.load());
    voice.synth_mixes.fetch_add(1);
    ThunderJob job;
    job.voice = &voice;
    job.generation = start_synthesised_voice(voice, 1.0f);
    submit_thunder(worker, job);
    wait_for_thunder(worker);
    EXPECT_EQ(worker.owned.size(), 2u);  // the older two gone, the one just replaced kept
    stop_thunder_worker(worker);
}

}  // namespace
