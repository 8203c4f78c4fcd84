// wave.h -- reading RIFF/WAVE PCM files into float sounds
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The 16-byte format body of a canonical 44-byte wave header (offsets 20..35).
struct WaveFormat {
    uint16_t format_tag = 0;
    uint16_t channels = 0;
    int32_t sample_rate = 0;
    int32_t byte_rate = 0;
    uint16_t block_align = 0;
    uint16_t bits_per_sample = 0;
};

// One entry of the sound table; samples already carry the gain.
struct Sound {
    int32_t rate = 0;
    int32_t bits = 0;
    int32_t stereo = 0;
    int32_t value_count = 0;  // values stored (all channels)
    int32_t length = 0;       // period used by playback
    std::vector<float> samples;
    float gain = 1.0f;        // set by the scene reader before load_sound
};

// State shared by successive loads: the last format record, data size and raw data.
struct WaveReader {
    WaveFormat format;
    int32_t data_size = 0;
    std::vector<uint8_t> wave_data_buffer;
};

// Reads the 44-byte header and the data of path into format, data_size and buffer,
// echoing the header fields on standard output. 0 after reading, 1 when the file
// cannot be opened ("Can't open the file:%s\n").
int read_wave_file(const char* path, WaveFormat& format, int32_t& data_size, std::vector<uint8_t>& buffer);

// Fills sound (whose gain the caller set) from path through reader; returns value_count.
int load_sound(const char* path, Sound& sound, WaveReader& reader);
