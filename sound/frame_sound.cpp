// frame_sound.cpp -- sound that follows the frame clock: each drawn frame mixes exactly 1/fps s
#include "sound/frame_sound.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kWaveHeaderBytes = 44;
// The RIFF size field must still fit 32 bits.
constexpr uint32_t kWaveMaxData = 0xFFFFFFFFu - 36;

void put_le(uint8_t* out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

void wave_header(uint8_t (&h)[kWaveHeaderBytes], int32_t rate, uint32_t data_bytes) {
    std::memcpy(h, "RIFF", 4);
    put_le(h + 4, 36 + data_bytes, 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);  // PCM
    put_le(h + 22, 1, 2);  // mono
    put_le(h + 24, static_cast<uint32_t>(rate), 4);
    put_le(h + 28, static_cast<uint32_t>(rate) * 2, 4);  // bytes per second
    put_le(h + 32, 2, 2);                                // bytes per frame
    put_le(h + 34, 16, 2);
    std::memcpy(h + 36, "data", 4);
    put_le(h + 40, data_bytes, 4);
}

void writer_error(WaveFileWriter& w, const char* what) {
    if (!w.failed)
        std::fprintf(stderr, "vintrel: cannot %s %s: %s\n", what, w.part_path.c_str(), std::strerror(errno));
    w.failed = true;
}

}  // namespace

int64_t frame_sound_values(int64_t frames, int fps, int rate) {
    if (frames <= 0 || fps <= 0) return 0;
    return frames * rate / fps;
}

void allocate_frame_sound(SoundMixer& mixer, FrameSound& clock, int fps, float mix_ring_seconds) {
    clock = FrameSound{};
    clock.fps = fps > 0 ? fps : 1;
    allocate_sound_buffers(mixer, 1.0f / static_cast<float>(clock.fps), mix_ring_seconds);
    // A frame's share is floor or ceil of rate / fps; the blocks must hold the larger one.
    const int32_t share = static_cast<int32_t>((kSoundOutputRate + clock.fps - 1) / clock.fps);
    if (mixer.block_frames < share) {
        mixer.block_frames = share;
        mixer.mix_block.assign(static_cast<size_t>(share), 0.0f);
        mixer.output_block.assign(static_cast<size_t>(share), 0);
    }
    if (mixer.mix_ring_length < mixer.block_frames) {
        mixer.mix_ring_length = mixer.block_frames;
        mixer.mix_ring.assign(static_cast<size_t>(mixer.mix_ring_length), 0.0f);
    }
}

int32_t mix_frame_sound(SoundMixer& mixer, FrameSound& clock, const std::vector<Sound>& sounds,
                        ThunderVoice* const* voices, int voice_count) {
    ++clock.frames;
    const int64_t due = frame_sound_values(clock.frames, clock.fps, kSoundOutputRate);
    const int32_t share = static_cast<int32_t>(due - clock.values);
    clock.values = due;
    if (share <= 0 || static_cast<size_t>(share) > mixer.output_block.size()) return 0;
    // The mixer mixes block_frames values per call; a frame's block is its own share.
    const int32_t capacity = mixer.block_frames;
    mixer.block_frames = share;
    mix_sound_block(mixer, sounds, voices, voice_count);
    mixer.block_frames = capacity;
    return share;
}

bool open_wave_file_writer(WaveFileWriter& w, const std::string& path, int32_t rate) {
    w = WaveFileWriter{};
    w.path = path;
    w.part_path = path + ".part";
    w.rate = rate;
    w.file = std::fopen(w.part_path.c_str(), "wb");
    if (!w.file) {
        writer_error(w, "write");
        return false;
    }
    uint8_t header[kWaveHeaderBytes];
    wave_header(header, rate, 0);
    if (std::fwrite(header, 1, sizeof header, w.file) != sizeof header) writer_error(w, "write");
    return !w.failed;
}

void append_wave_values(WaveFileWriter& w, const int16_t* values, int32_t count) {
    if (!w.file || w.failed || count <= 0) return;
    const uint32_t bytes = static_cast<uint32_t>(count) * 2;
    if (bytes > kWaveMaxData - w.data_bytes) {
        if (!w.failed)
            std::fprintf(stderr, "vintrel: %s would pass the 4 GiB limit of a WAV file\n", w.path.c_str());
        w.failed = true;
        return;
    }
    uint8_t le[2];
    for (int32_t i = 0; i < count; ++i) {
        put_le(le, static_cast<uint16_t>(values[i]), 2);
        if (std::fwrite(le, 1, 2, w.file) != 2) {
            writer_error(w, "write");
            return;
        }
    }
    w.data_bytes += bytes;
}

bool finish_wave_file(WaveFileWriter& w) {
    if (!w.file) return !w.failed;
    uint8_t header[kWaveHeaderBytes];
    wave_header(header, w.rate, w.data_bytes);
    if (!w.failed && (std::fseek(w.file, 0, SEEK_SET) != 0 ||
                      std::fwrite(header, 1, sizeof header, w.file) != sizeof header))
        writer_error(w, "write");
    if (std::fclose(w.file) != 0) writer_error(w, "close");
    w.file = nullptr;
    if (!w.failed && std::rename(w.part_path.c_str(), w.path.c_str()) != 0) writer_error(w, "rename");
    if (w.failed) std::remove(w.part_path.c_str());
    return !w.failed;
}
