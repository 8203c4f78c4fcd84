// wave_test.cpp -- wave header echo, sample conversion and the faults of damaged files
#include "sound/wave.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A canonical 44-byte header followed by data; declared_size lets a test lie about it.
std::vector<uint8_t> wave_file(uint16_t channels, uint16_t bits, const std::vector<uint8_t>& data,
                               int32_t declared_size, int32_t rate = 16000) {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    put_i32(out, static_cast<int32_t>(36u + static_cast<uint32_t>(declared_size)));
    for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<uint8_t>(c));
    put_i32(out, 16);
    put_u16(out, 1);
    put_u16(out, channels);
    put_i32(out, rate);
    put_i32(out, rate * channels * bits / 8);
    put_u16(out, static_cast<uint16_t>(channels * bits / 8));
    put_u16(out, bits);
    for (char c : std::string("data")) out.push_back(static_cast<uint8_t>(c));
    put_i32(out, declared_size);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> wave_file(uint16_t channels, uint16_t bits, const std::vector<uint8_t>& data) {
    return wave_file(channels, bits, data, static_cast<int32_t>(data.size()));
}

std::vector<uint8_t> pcm16(const std::vector<int16_t>& values) {
    std::vector<uint8_t> out;
    for (int16_t v : values) put_u16(out, static_cast<uint16_t>(v));
    return out;
}

int load(const std::string& path, Sound& sound, WaveReader& reader, std::string* out = nullptr) {
    ::testing::internal::CaptureStdout();
    int n = load_sound(path.c_str(), sound, reader);
    std::string text = ::testing::internal::GetCapturedStdout();
    if (out) *out = text;
    return n;
}

}  // namespace

TEST(Wave, EchoesTheHeaderAfterReading) {
    ScratchDir dir;
    write_binary_file(dir.file("a.wav"), wave_file(1, 16, pcm16({1, 2, 3}), 6, 44100));
    Sound sound;
    WaveReader reader;
    std::string out;
    load(dir.file("a.wav"), sound, reader, &out);
    EXPECT_EQ(out,
              "ID_RIFF: RIFF\nfsize: 42\nTYPE_WAVE: WAVE\nID_FMT: fmt \ntsize: 16\nfrq: 44100\n"
              "bit: 16\nch:  1\nID_DATA: data\ndsize: 6\n");
    EXPECT_EQ(sound.rate, 44100);  // stored as it is; playback does not resample
    EXPECT_EQ(reader.data_size, 6);
    EXPECT_EQ(reader.format.channels, 1);
}

TEST(Wave, SixteenBitValuesAreDividedBy32767) {
    ScratchDir dir;
    std::vector<uint8_t> data = pcm16({32767, 0, -32768, 16384});
    data.push_back(0x7F);  // odd size: the last byte is dropped
    write_binary_file(dir.file("a.wav"), wave_file(1, 16, data));
    Sound sound;
    sound.gain = 0.5f;
    WaveReader reader;
    EXPECT_EQ(load(dir.file("a.wav"), sound, reader), 4);
    EXPECT_EQ(sound.value_count, 4);
    EXPECT_EQ(sound.length, 4);
    EXPECT_EQ(sound.bits, 16);
    EXPECT_EQ(sound.stereo, 0);
    ASSERT_EQ(sound.samples.size(), 4u);
    EXPECT_EQ(sound.samples[0], 0.5f);
    EXPECT_EQ(sound.samples[1], 0.0f);
    EXPECT_EQ(sound.samples[2], 0.5f * static_cast<float>(-32768 / 32767.0));
    EXPECT_FLOAT_EQ(sound.samples[2], -0.50001526f);
    EXPECT_EQ(sound.samples[3], 0.5f * static_cast<float>(16384 / 32767.0));
}

TEST(Wave, EightBitValuesAreCentredOn128) {
    ScratchDir dir;
    write_binary_file(dir.file("a.wav"), wave_file(1, 8, {0x80, 0x00, 0xFF}));
    Sound sound;
    sound.gain = 2.0f;
    WaveReader reader;
    EXPECT_EQ(load(dir.file("a.wav"), sound, reader), 3);
    EXPECT_EQ(sound.samples, (std::vector<float>{0.0f, -2.0f, 2.0f * 0.9921875f}));
}

TEST(Wave, EmptyAndMultiChannelFiles) {
    ScratchDir dir;
    write_binary_file(dir.file("empty.wav"), wave_file(1, 16, {}));
    write_binary_file(dir.file("quad.wav"), wave_file(4, 16, pcm16({1, 2, 3, 4, 5, 6, 7, 8})));
    Sound sound;
    WaveReader reader;
    EXPECT_EQ(load(dir.file("empty.wav"), sound, reader), 0);
    EXPECT_EQ(sound.length, 0);
    EXPECT_TRUE(sound.samples.empty());

    std::string out;
    EXPECT_EQ(load(dir.file("quad.wav"), sound, reader, &out), 8);
    EXPECT_NE(out.find("*** Too much channles.. 4\n"), std::string::npos);
    EXPECT_EQ(sound.stereo, 1);
    // Every stored value is played, so the period covers all of them.
    EXPECT_EQ(sound.length, 8);
    EXPECT_EQ(sound.samples.size(), 8u);
}

TEST(Wave, UnopenableFileGivesAnEmptySoundNotThePreviousOne) {
    ScratchDir dir;
    write_binary_file(dir.file("a.wav"), wave_file(1, 16, pcm16({100, 200})));
    WaveReader reader;
    Sound first, second;
    load(dir.file("a.wav"), first, reader);
    ASSERT_EQ(first.length, 2);
    second.gain = 0.7f;
    std::string out;
    EXPECT_EQ(load(dir.file("missing.wav"), second, reader, &out), 0);
    EXPECT_EQ(out, "Can't open the file:" + dir.file("missing.wav") + "\n");
    EXPECT_EQ(second.length, 0);
    EXPECT_EQ(second.value_count, 0);
    EXPECT_TRUE(second.samples.empty());
    EXPECT_EQ(second.gain, 0.7f);
    // The shared reader keeps the last successful read.
    EXPECT_EQ(reader.data_size, 4);
}

TEST(Wave, UnsupportedWidthGivesAnEmptySoundWithAMessage) {
    ScratchDir dir;
    write_binary_file(dir.file("a.wav"), wave_file(1, 24, {1, 2, 3, 4, 5, 6}));
    Sound sound;
    WaveReader reader;
    std::string out;
    EXPECT_EQ(load(dir.file("a.wav"), sound, reader, &out), 0);
    EXPECT_NE(out.find("24 bits per sample cannot be played"), std::string::npos);
    EXPECT_EQ(sound.length, 0);
    EXPECT_TRUE(sound.samples.empty());
}

TEST(Wave, DataShorterThanItsHeaderIsCappedAtTheFile) {
    ScratchDir dir;
    // Claims 2 GiB of data but holds three values.
    write_binary_file(dir.file("huge.wav"), wave_file(1, 16, pcm16({5, 6, 7}), 0x7FFFFFFF));
    // A file cut inside its header: the missing fields read as zero, not stale values.
    std::vector<uint8_t> cut = wave_file(1, 8, {1, 2, 3});
    cut.resize(30);
    write_binary_file(dir.file("cut.wav"), cut);
    Sound sound;
    WaveReader reader;
    std::string out;
    EXPECT_EQ(load(dir.file("huge.wav"), sound, reader, &out), 3);
    EXPECT_NE(out.find("dsize: 2147483647\n"), std::string::npos);
    EXPECT_NE(out.find("holds 6 of the 2147483647 data bytes"), std::string::npos);
    EXPECT_EQ(reader.wave_data_buffer.size(), 6u);
    EXPECT_EQ(sound.samples[2], static_cast<float>(7 / 32767.0));

    EXPECT_EQ(load(dir.file("cut.wav"), sound, reader), 0);
    EXPECT_EQ(reader.data_size, 0);
    EXPECT_EQ(reader.format.bits_per_sample, 0);
    EXPECT_EQ(sound.length, 0);
}
