// wave.cpp -- reading RIFF/WAVE PCM files into float sounds
#include "sound/wave.h"

#include "support/file_limits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr float kScale8 = 0.0078125f;      // 1/128: unsigned 8-bit values centred on 128
constexpr double kScale16 = 32767.0;       // +32767 maps to exactly 1.0
constexpr uint8_t kSilence8 = 0x80;        // unsigned 8-bit zero level

// Reads exactly `bytes` into dst; whatever the file does not supply stays zero, so a
// short header never carries over values from an earlier file.
template <typename T>
void read_field(FILE* file, T& dst) {
    T value{};
    if (std::fread(&value, sizeof value, 1, file) != 1) value = T{};
    dst = value;
}

void read_id(FILE* file, char (&id)[4]) {
    std::memset(id, 0, sizeof id);
    size_t got = std::fread(id, 1, sizeof id, file);
    (void)got;  // a missing id only shows up in the echo
}

void make_empty(Sound& sound) {
    sound.rate = 0;
    sound.bits = 0;
    sound.stereo = 0;
    sound.value_count = 0;
    sound.length = 0;
    sound.samples.clear();
}

}  // namespace

int read_wave_file(const char* path, WaveFormat& format, int32_t& data_size, std::vector<uint8_t>& buffer) {
    FILE* file = open_input_file(path, "rb");
    if (!file) {
        std::printf("Can't open the file:%s\n", path);
        return 1;
    }

    char riff_id[4], wave_id[4], fmt_id[4], data_id[4];
    int32_t riff_size = 0, fmt_size = 0, size = 0;
    WaveFormat fmt{};
    read_id(file, riff_id);
    read_field(file, riff_size);
    read_id(file, wave_id);
    read_id(file, fmt_id);
    read_field(file, fmt_size);
    static_assert(sizeof(WaveFormat) == 16, "the format body is read as one 16-byte block");
    read_field(file, fmt);
    read_id(file, data_id);
    read_field(file, size);
    format = fmt;
    data_size = size;

    // The header's size is only a claim: never allocate more than the file can supply.
    int64_t want = std::max<int32_t>(size, 0);
    int64_t left = remaining_bytes(file);
    if (left >= 0) want = std::min(want, left);
    if (!fits_in_memory(static_cast<uint64_t>(want))) want = 0;
    buffer.assign(static_cast<size_t>(want), 0);
    size_t got = want > 0 ? std::fread(buffer.data(), 1, buffer.size(), file) : 0;
    if (got < buffer.size()) {
        // A read that stops early leaves silence, not stale bytes, in the rest.
        uint8_t silence = fmt.bits_per_sample == 8 ? kSilence8 : 0;
        std::fill(buffer.begin() + static_cast<long>(got), buffer.end(), silence);
    }

    std::printf("ID_RIFF: %c%c%c%c\n", riff_id[0], riff_id[1], riff_id[2], riff_id[3]);
    std::printf("fsize: %d\n", riff_size);
    std::printf("TYPE_WAVE: %c%c%c%c\n", wave_id[0], wave_id[1], wave_id[2], wave_id[3]);
    std::printf("ID_FMT: %c%c%c%c\n", fmt_id[0], fmt_id[1], fmt_id[2], fmt_id[3]);
    std::printf("tsize: %d\n", fmt_size);
    std::printf("frq: %d\n", fmt.sample_rate);
    std::printf("bit: %d\n", fmt.bits_per_sample);
    std::printf("ch:  %d\n", fmt.channels);
    std::printf("ID_DATA: %c%c%c%c\n", data_id[0], data_id[1], data_id[2], data_id[3]);
    std::printf("dsize: %d\n", size);
    if (fmt.channels > 2) std::printf("*** Too much channles.. %d\n", fmt.channels);
    if (size > static_cast<long>(buffer.size()) && left >= 0) {
        std::printf("*** %s holds %lld of the %d data bytes its header gives\n", path, static_cast<long long>(want), size);
    }

    std::fclose(file);
    return 0;
}

int load_sound(const char* path, Sound& sound, WaveReader& reader) {
    if (read_wave_file(path, reader.format, reader.data_size, reader.wave_data_buffer) != 0) {
        // The previous file's data must not pass for this entry's.
        make_empty(sound);
        return 0;
    }
    const WaveFormat& fmt = reader.format;
    const std::vector<uint8_t>& data = reader.wave_data_buffer;
    if (fmt.bits_per_sample != 8 && fmt.bits_per_sample != 16) {
        std::printf("*** %s: %d bits per sample cannot be played, the sound is left empty\n", path,
                    fmt.bits_per_sample);
        make_empty(sound);
        return 0;
    }

    // The buffer holds what the file supplied (capped at its real size), so counts come
    // from it rather than from the header's claim.
    int32_t bytes = static_cast<int32_t>(data.size());
    int32_t count = fmt.bits_per_sample == 16 ? bytes / 2 : bytes;
    sound.rate = fmt.sample_rate;
    sound.bits = fmt.bits_per_sample;
    sound.stereo = fmt.channels == 1 ? 0 : 1;
    sound.value_count = count;
    // Interleaved channels are played value by value like a mono sound, so every stored
    // value is part of the period.
    sound.length = count;
    sound.samples.assign(static_cast<size_t>(count), 0.0f);

    const float gain = sound.gain;
    if (fmt.bits_per_sample == 8) {
        for (int32_t i = 0; i < count; ++i) {
            float x = static_cast<float>(static_cast<int>(data[i]) - 128) * kScale8;
            sound.samples[i] = gain * x;
        }
    } else {
        for (int32_t i = 0; i < count; ++i) {
            int16_t s = static_cast<int16_t>(static_cast<uint16_t>(data[2 * i]) |
                                             static_cast<uint16_t>(data[2 * i + 1]) << 8);
            float x = static_cast<float>(s / kScale16);
            sound.samples[i] = gain * x;
        }
    }
    return count;
}
