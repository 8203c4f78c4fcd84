// frame_sound_test.cpp -- sound on the frame clock: exact lengths, thunder on its frame, WAV files
#include "sound/frame_sound.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/sp_util.h"
#include "test_support.h"

namespace {

// A thunder of one loud value then quiet, and a constant background.
std::vector<Sound> click_and_hum() {
    std::vector<Sound> sounds(2);
    sounds[0].length = sounds[0].value_count = 4000;
    sounds[0].samples.assign(4000, 0.01f);
    sounds[0].samples[0] = 0.5f;
    sounds[1].length = sounds[1].value_count = 700;
    sounds[1].samples.assign(700, 0.001f);
    return sounds;
}

bool exists(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

}  // namespace

TEST(FrameSound, FramesMixExactlyTheirShareAndThunderStartsOnItsFrame) {
    for (int fps : {30, 24, 7, 25, 60}) {
        SoundMixer mixer;
        FrameSound clock;
        allocate_frame_sound(mixer, clock, fps, 10.0f);
        const std::vector<Sound> sounds = click_and_hum();
        ThunderVoice voice;
        ThunderVoice* voices[] = {&voice};
        const int strike_frame = 17;
        int64_t total = 0;
        for (int frame = 1; frame <= 3 * fps; ++frame) {
            if (frame == strike_frame) {
                voice.thunder_pos = 0;
                voice.thunder_wave = 0;
                voice.thunder_gain = 1.0f;
            }
            const int32_t n = mix_frame_sound(mixer, clock, sounds, voices, 1);
            // Shares differ by at most one value and add up to the rate times the time.
            ASSERT_GE(n, 16000 / fps) << "fps " << fps << " frame " << frame;
            ASSERT_LE(n, (16000 + fps - 1) / fps);
            total += n;
            ASSERT_EQ(total, static_cast<int64_t>(frame) * 16000 / fps);
            // The thunder's first value opens the strike's own frame, and nothing of it comes before.
            const int16_t first = mixer.output_block[0];
            if (frame == strike_frame) {
                EXPECT_EQ(first, static_cast<int16_t>((0.5f + 0.001f) * 32767.0f)) << "fps " << fps;
            } else if (frame < strike_frame) {
                EXPECT_EQ(first, static_cast<int16_t>(0.001f * 32767.0f));
            }
        }
        EXPECT_EQ(total, 3 * 16000);
        reset_sound_mixer(mixer);
    }
    // Faster than the sample rate: some frames carry no sound, and the sum still holds.
    SoundMixer mixer;
    FrameSound clock;
    allocate_frame_sound(mixer, clock, 40000, 1.0f);
    int64_t total = 0, empty = 0;
    for (int frame = 0; frame < 40000; ++frame) {
        const int32_t n = mix_frame_sound(mixer, clock, click_and_hum(), nullptr, 0);
        total += n;
        empty += n == 0;
    }
    EXPECT_EQ(total, 16000);
    EXPECT_EQ(empty, 24000);
    reset_sound_mixer(mixer);
}

TEST(FrameSound, WaveFileAppearsWholeUnderItsNameOnlyWhenFinished) {
    reset_sp_util();
    ScratchDir dir;
    const std::string path = dir.file("out.wav");
    WaveFileWriter w;
    ASSERT_TRUE(open_wave_file_writer(w, path, 16000));
    const int16_t values[] = {1, -2, 32767, -32767, 0x1234};
    append_wave_values(w, values, 5);
    append_wave_values(w, values, 2);
    EXPECT_FALSE(exists(path));
    EXPECT_TRUE(exists(path + ".part"));
    ASSERT_TRUE(finish_wave_file(w));
    EXPECT_FALSE(exists(path + ".part"));
    const std::vector<uint8_t> bytes = read_binary_file(path);
    ASSERT_EQ(bytes.size(), 44u + 14u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(bytes[4] | bytes[5] << 8, 36 + 14);
    EXPECT_EQ(bytes[22], 1);                                // mono
    EXPECT_EQ(bytes[24] | bytes[25] << 8, 16000);           // rate
    EXPECT_EQ(bytes[34], 16);                               // bits
    EXPECT_EQ(bytes[40], 14);                               // data bytes
    EXPECT_EQ(bytes[44 + 8] | bytes[44 + 9] << 8, 0x1234);  // little-endian values
    EXPECT_EQ(static_cast<int16_t>(bytes[44 + 2] | bytes[44 + 3] << 8), -2);
    EXPECT_TRUE(finish_wave_file(w));  // finishing twice is harmless

    // A folder that does not exist: refused at once, nothing left anywhere.
    WaveFileWriter bad;
    EXPECT_FALSE(open_wave_file_writer(bad, dir.file("missing/out.wav"), 16000));
    EXPECT_FALSE(finish_wave_file(bad));
}
