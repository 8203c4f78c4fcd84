// mixer_test.cpp -- block sizes, ring wrap, thunder voices, background loop, clipping and the output
#include "sound/mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/sp_util.h"
#include "test_support.h"

namespace {

Sound ramp_sound(int32_t length, float step) {
    Sound s;
    s.length = s.value_count = length;
    s.samples.resize(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) s.samples[static_cast<size_t>(i)] = step * static_cast<float>(i + 1);
    return s;
}

Sound constant_sound(int32_t length, float value) {
    Sound s;
    s.length = s.value_count = length;
    s.samples.assign(static_cast<size_t>(length), value);
    return s;
}

void start_voice(ThunderVoice& v, float gain) {
    v.thunder_pos = 0;
    v.thunder_wave = 0;
    v.thunder_gain = gain;
}

// A device that takes buffers and never plays them: no buffer is ever reported done, not
// even by a reset.
std::atomic<int> stuck_queued{0};
int stuck_stream_tag;
int stuck_open(AudioStreamId* out, const char*, const AudioStreamFormat&, AudioNotify, void*) {
    *out = &stuck_stream_tag;
    return 0;
}
int stuck_prepare(AudioStreamId, AudioBufferHeader* h) {
    h->flags |= kAudioHeaderPrepared;
    return 0;
}
int stuck_unprepare(AudioStreamId, AudioBufferHeader* h) {
    h->flags &= ~kAudioHeaderPrepared;
    return 0;
}
int stuck_queue(AudioStreamId, AudioBufferHeader*) {
    ++stuck_queued;
    return 0;
}
int stuck_reset(AudioStreamId) { return 0; }
int stuck_close(AudioStreamId) { return 0; }
const AudioService stuck_service = {stuck_open,  stuck_prepare, stuck_unprepare,
                                    stuck_queue, stuck_reset,   stuck_close};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct MixerTest : ::testing::Test {
    SoundMixer mixer;
    void SetUp() override { reset_sp_util(); }
    void TearDown() override {
        reset_sound_mixer(mixer);
        reset_sp_util();
    }
};

}  // namespace

TEST_F(MixerTest, BlockAndPeriodFollowTheTimeStep) {
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    EXPECT_EQ(mixer.block_frames, 527);
    EXPECT_EQ(mixer.tick_period_ms, 32u);
    EXPECT_EQ(mixer.mix_ring_length, 160000);
    EXPECT_EQ(mixer.mix_block.size(), 527u);
    EXPECT_EQ(mixer.output_block.size(), 527u);
    allocate_sound_buffers(mixer, 0.1f, 10.0f);
    EXPECT_EQ(mixer.block_frames, 1600);
    EXPECT_EQ(mixer.tick_period_ms, 100u);
    allocate_sound_buffers(mixer, 0.01f, 10.0f);
    EXPECT_EQ(mixer.block_frames, 159);
    EXPECT_EQ(mixer.tick_period_ms, 9u);
    // Degenerate settings still give a block and a ring that holds it.
    allocate_sound_buffers(mixer, 0.0f, 0.0f);
    EXPECT_EQ(mixer.block_frames, 1);
    EXPECT_EQ(mixer.tick_period_ms, 1u);
    EXPECT_EQ(mixer.mix_ring_length, 1);
    allocate_sound_buffers(mixer, 0.033f, 0.01f);
    EXPECT_EQ(mixer.mix_ring_length, 527);
}

TEST_F(MixerTest, BlockStraddlingTheRingEndIsOutputWhole) {
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    std::vector<Sound> sounds = {constant_sound(10, 0.0f), ramp_sound(1000, 0.0001f)};
    // 303 blocks reach 159681; the next one runs past 160000 and wraps.
    for (int i = 0; i < 303; ++i) mix_sound_block(mixer, sounds, nullptr, 0);
    EXPECT_EQ(mixer.mix_position, 159681);
    int32_t bg = mixer.background_position;
    mix_sound_block(mixer, sounds, nullptr, 0);
    EXPECT_EQ(mixer.mix_position, (159681 + 527) % 160000);
    for (int k = 0; k < 527; ++k) {
        float expected = sounds[1].samples[static_cast<size_t>((bg + k) % 1000)];
        ASSERT_EQ(mixer.mix_block[static_cast<size_t>(k)], expected) << "value " << k;
        ASSERT_EQ(mixer.output_block[static_cast<size_t>(k)], static_cast<int16_t>(expected * 32767.0f));
    }
    EXPECT_EQ(mixer.mix_ring[0], mixer.mix_block[319]);
    EXPECT_EQ(mixer.background_position, (bg + 527) % 1000);
    reset_sound_mix(mixer);
    EXPECT_EQ(mixer.mix_position, 0);
    EXPECT_EQ(mixer.mix_ring[0], 0.0f);
    EXPECT_EQ(mixer.background_position, (bg + 527) % 1000);  // the loop keeps its place
}

TEST_F(MixerTest, ThunderTailIsFollowedBySilenceThenTheVoiceStops) {
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    // 1200 values: blocks at 0 and 527, then a last block of 146 tail values and 381 of
    // silence (replaying the attack there would click).
    std::vector<Sound> sounds = {ramp_sound(1200, 0.0005f), constant_sound(7, 0.0f)};
    ThunderVoice voice;
    ThunderVoice* voices[] = {&voice};
    mix_sound_block(mixer, sounds, voices, 1);
    EXPECT_EQ(mixer.mix_block[0], 0.0f);  // a silent voice adds nothing
    start_voice(voice, 0.5f);
    mix_sound_block(mixer, sounds, voices, 1);
    EXPECT_EQ(voice.thunder_pos.load(), 527);
    EXPECT_EQ(mixer.mix_block[0], sounds[0].samples[0] * 0.5f);
    mix_sound_block(mixer, sounds, voices, 1);
    EXPECT_EQ(voice.thunder_pos.load(), 1054);
    mix_sound_block(mixer, sounds, voices, 1);
    EXPECT_EQ(voice.thunder_pos.load(), -1);
    EXPECT_EQ(mixer.mix_block[145], sounds[0].samples[1199] * 0.5f);
    for (size_t k = 146; k < 527; ++k) ASSERT_EQ(mixer.mix_block[k], 0.0f) << "value " << k;
    mix_sound_block(mixer, sounds, voices, 1);
    for (float v : mixer.mix_block) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(voice.thunder_wave.load(), 0);
}

TEST_F(MixerTest, OverlappingStrikesAreLimitedNotClipped) {
    // Four strikes a third of a second apart, each a loud decaying rumble, over a rain loop: their
    // sum reaches several times full scale.
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    Sound rumble;
    rumble.length = rumble.value_count = 3 * 16000;
    uint32_t noise = 12345;
    for (int32_t i = 0; i < rumble.length; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const float white = static_cast<float>(noise >> 8) / 8388608.0f - 1.0f;
        rumble.samples.push_back(white * 0.9f * std::exp(-static_cast<float>(i) / 16000.0f));
    }
    std::vector<Sound> sounds = {rumble, constant_sound(700, 0.2f)};
    ThunderVoice voices[4];
    ThunderVoice* ptrs[] = {&voices[0], &voices[1], &voices[2], &voices[3]};
    int16_t loudest = 0;
    float loudest_sum = 0.0f;
    for (int block = 0; block < 200; ++block) {
        if (block % 10 == 0 && block < 40) start_voice(voices[block / 10], 1.0f);
        mix_sound_block(mixer, sounds, ptrs, 4);
        for (int32_t k = 0; k < mixer.block_frames; ++k) {
            const int16_t v = mixer.output_block[static_cast<size_t>(k)];
            ASSERT_LT(std::abs(v), 32767) << "block " << block << " value " << k;
            loudest = std::max<int16_t>(loudest, static_cast<int16_t>(std::abs(v)));
        }
        for (float v : mixer.mix_block) loudest_sum = std::max(loudest_sum, std::fabs(v));
    }
    // The limiter turns the peaks down to its ceiling, not the whole mix to silence.
    EXPECT_GE(loudest, static_cast<int16_t>(0.9f * 32767.0f));
    EXPECT_LE(loudest_sum, kLimiterCeiling + 1e-6f);
    // Long after the thunder the rain passes unchanged again, bit for bit.
    EXPECT_EQ(mixer.output_block[0], static_cast<int16_t>(0.2f * 32767.0f));
}

TEST_F(MixerTest, VoicesSumAndOutputIsSymmetric) {
    allocate_sound_buffers(mixer, 0.01f, 1.0f);
    std::vector<Sound> sounds = {constant_sound(500, 0.7f), constant_sound(500, -0.00001f)};
    ThunderVoice a, b, c;
    start_voice(a, 1.0f);
    start_voice(b, 1.0f);
    ThunderVoice* voices[] = {&a, &b, nullptr, &c};
    mix_sound_block(mixer, sounds, voices, 4);
    // Two voices and the background sum; the limiter holds the sum at its ceiling, on both sides.
    EXPECT_EQ(mixer.output_block[0], static_cast<int16_t>(kLimiterCeiling * 32767.0f));
    reset_sound_mix(mixer);
    for (auto& s : sounds[0].samples) s = -0.7f;
    start_voice(a, 1.0f);
    start_voice(b, 1.0f);
    mix_sound_block(mixer, sounds, voices, 4);
    EXPECT_EQ(mixer.output_block[0], -static_cast<int16_t>(kLimiterCeiling * 32767.0f));
    // Quiet values pass untouched; truncation toward zero, on both sides.
    reset_sound_mix(mixer);
    std::vector<Sound> small = {constant_sound(500, 0.0f), constant_sound(500, -0.5f)};
    mix_sound_block(mixer, small, voices, 0);
    EXPECT_EQ(mixer.mix_block[0], -0.5f);
    EXPECT_EQ(mixer.output_block[0], static_cast<int16_t>(-16383));
    small[1].samples.assign(500, 0.00002f);
    mix_sound_block(mixer, small, voices, 0);
    EXPECT_EQ(mixer.output_block[0], 0);
}

TEST_F(MixerTest, MissingAndEmptySoundsAreSkipped) {
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    ThunderVoice voice;
    ThunderVoice* voices[] = {&voice};
    // One sound: the thunder plays without a background loop.
    std::vector<Sound> one = {constant_sound(2000, 0.25f)};
    start_voice(voice, 1.0f);
    mix_sound_block(mixer, one, voices, 1);
    EXPECT_EQ(mixer.mix_block[0], 0.25f);
    EXPECT_EQ(mixer.background_position, 0);
    // Empty thunder and background: silence, and the voice waits rather than dividing by zero.
    std::vector<Sound> empty = {Sound{}, Sound{}};
    mix_sound_block(mixer, empty, voices, 1);
    for (float v : mixer.mix_block) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(voice.thunder_pos.load(), 527);
    // A voice naming a sound the table does not have, and a table with no sounds.
    voice.thunder_wave = 5;
    mix_sound_block(mixer, one, voices, 1);
    EXPECT_EQ(mixer.mix_block[0], 0.0f);
    mix_sound_block(mixer, {}, voices, 1);
    // A length beyond the stored samples is not read.
    Sound lying = constant_sound(10, 0.5f);
    lying.length = 100000;
    std::vector<Sound> bad = {constant_sound(10, 0.0f), lying};
    mix_sound_block(mixer, bad, nullptr, 0);
    EXPECT_EQ(mixer.mix_block[0], 0.0f);
    // Unallocated buffers: nothing happens.
    SoundMixer bare;
    mix_sound_block(bare, one, voices, 1);
    sound_tick(bare);
    EXPECT_EQ(bare.mix_position, 0);
}

TEST_F(MixerTest, OpenReportsSettingsThatDoNotReadBack) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(open_sound_output(mixer, 16000, 16, 0, 0, "null"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "sp error! buf size, 0 != 8192\n");
    EXPECT_NE(mixer.audio_handle, nullptr);
    EXPECT_EQ(mixer.audio_handle->output_device, nullptr);
    release_sound_output(mixer);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(open_sound_output(mixer, 16000, 8, 527, 0, "null"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "sp error! bit, 8 != 16\n");
    // After a failed open the viewer runs silent: every write is refused.
    allocate_sound_buffers(mixer, 0.033f, 10.0f);
    EXPECT_EQ(spWriteAudio(mixer.audio_handle, mixer.output_block.data(), 527), -1);
    release_sound_output(mixer);

    release_sound_output(mixer);

    // A failed open says once, after the layer's own line, that the viewer goes on silent.
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(open_sound_output(mixer, 16000, 16, 527, 0, "/no/such/dir/x.wav"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "no sound output (/no/such/dir/x.wav could not be opened); the viewer runs without sound\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "open error: -2\n");
}

TEST_F(MixerTest, WavOutputHoldsEverythingMixedAfterTheDrain) {
    ScratchDir dir;
    const std::string path = dir.file("mix.wav");
    allocate_sound_buffers(mixer, 0.01f, 10.0f);
    ASSERT_EQ(open_sound_output(mixer, kSoundOutputRate, kSoundOutputBits, mixer.block_frames,
                                kSoundOutputStereo, path),
              1);
    AudioDevice* device = mixer.audio_handle->output_device;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->buffer_bytes, 318);
    std::vector<Sound> sounds = {ramp_sound(400, 0.001f), constant_sound(300, 0.125f)};
    ThunderVoice voice;
    mixer.sounds = &sounds;
    mixer.voices = {&voice};
    start_voice(voice, 1.0f);
    for (int i = 0; i < 5; ++i) sound_tick(mixer);
    drain_sound_output(mixer);
    EXPECT_EQ(mixer.audio_handle, nullptr);

    std::vector<uint8_t> file = read_binary_file(path);
    const size_t silence = 8 * 318;
    ASSERT_EQ(file.size(), 44 + silence + 5 * 318);
    EXPECT_EQ(file[24] | file[25] << 8, 16000);
    auto value = [&](size_t i) {
        size_t at = 44 + silence + 2 * i;
        return static_cast<int16_t>(file[at] | file[at + 1] << 8);
    };
    EXPECT_EQ(file[44], 0);
    EXPECT_EQ(value(0), static_cast<int16_t>((0.001f + 0.125f) * 32767.0f));
    // After the thunder's 400 values only the background loop remains.
    EXPECT_EQ(value(700), static_cast<int16_t>(0.125f * 32767.0f));
}

TEST_F(MixerTest, TimerTicksAgainstAPacedOutputWhileVoicesRestart) {
    allocate_sound_buffers(mixer, 0.01f, 10.0f);
    ASSERT_EQ(open_sound_output(mixer, kSoundOutputRate, kSoundOutputBits, mixer.block_frames, 0, "null"), 1);
    std::vector<Sound> sounds = {ramp_sound(3000, 0.0001f), constant_sound(100, 0.01f)};
    ThunderVoice voice;
    ASSERT_EQ(start_sound_timer(mixer, sounds, {&voice}), 1);
    EXPECT_EQ(start_sound_timer(mixer, sounds, {&voice}), 0);  // already running
    // The window thread restarts the voice while ticks mix it.
    for (int i = 0; i < 10; ++i) {
        start_voice(voice, 0.9f + 0.01f * static_cast<float>(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(6));
    }
    stop_sound_timer(mixer);
    EXPECT_EQ(mixer.sound_timer, 0u);
    EXPECT_GT(mixer.background_position + mixer.mix_position, 0);
    stop_sound_timer(mixer);  // harmless twice
    release_sound_output(mixer);
    EXPECT_EQ(mixer.audio_handle, nullptr);
}

TEST_F(MixerTest, StopAndDrainEndWhenTheDeviceNeverReturnsABuffer) {
    // 1 ms ticks of 16 values: the 64-buffer ring is full after some 60 ticks, and from then on
    // the tick waits in the write for a buffer that never comes back.
    allocate_sound_buffers(mixer, 0.001f, 1.0f);
    mixer.audio_handle = spInitAudio();
    spSetAudioService(mixer.audio_handle, &stuck_service);
    spSetAudioSamplingRate(mixer.audio_handle, 16000.0);
    spSetAudioBufferSize(mixer.audio_handle, mixer.block_frames * 2);
    ASSERT_EQ(spOpenAudioDevice(mixer.audio_handle, "w"), 1);
    stuck_queued = 0;
    std::vector<Sound> sounds = {ramp_sound(100, 0.001f), constant_sound(50, 0.01f)};
    ThunderVoice voice;
    ASSERT_EQ(start_sound_timer(mixer, sounds, {&voice}), 1);
    const auto waiting = std::chrono::steady_clock::now();
    while (stuck_queued.load() < 56 && seconds_since(waiting) < 10.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(stuck_queued.load(), 56) << "the ring never filled";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the tick is now blocked

    // Generous bounds: the point is that neither waits for ever.
    auto start = std::chrono::steady_clock::now();
    stop_sound_timer(mixer);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(mixer.sound_timer, 0u);
    start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    drain_sound_output(mixer);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "audio output stopped playing; the rest of the sound is dropped\n");
    EXPECT_EQ(mixer.audio_handle, nullptr);
}

// Runs in a child: starts the viewer's timer and ends the process without any shutdown.
// The witness is destroyed after every exit handler registered later, so it sees whether
// the tick still runs while the records that it reads are being destroyed.
[[noreturn]] void exit_with_a_running_timer() {
    struct Witness {
        ~Witness() {
            if (sound_mixer.sound_timer != 0) std::_Exit(3);
        }
    };
    static Witness witness;
    static std::vector<Sound> sounds = {ramp_sound(100, 0.001f), constant_sound(50, 0.01f)};
    static ThunderVoice voice;
    allocate_sound_buffers(sound_mixer, 0.001f, 1.0f);
    if (start_sound_timer(sound_mixer, sounds, {&voice}) != 1) std::_Exit(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::exit(0);
}

TEST(MixerExit, AnExitThatSkipsTheShutdownStopsTheTimerFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit_with_a_running_timer(), ::testing::ExitedWithCode(0), "");
}
