// frame_sound.h -- sound that follows the frame clock: each drawn frame mixes exactly 1/fps s
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sound/mixer.h"

// Where the frame clock stands: frames whose sound has been mixed, and the values they made.
struct FrameSound {
    int fps = 30;
    int64_t frames = 0;
    int64_t values = 0;
};

// Values the first `frames` frames hold together: floor(frames * rate / fps), so that the
// sound of n frames lasts n / fps seconds to the sample, however the shares fall.
int64_t frame_sound_values(int64_t frames, int fps, int rate);

// Sizes the mixer for blocks of one frame's share (at most ceil(16000 / fps) values) with a
// ring of mix_ring_seconds, and rewinds the clock. fps must be at least 1.
void allocate_frame_sound(SoundMixer& mixer, FrameSound& clock, int fps, float mix_ring_seconds);

// Mixes the sound of the next frame into mixer.output_block and returns its length (0 or
// more values; a frame rate above the sample rate gives some frames none). A strike that
// started its thunder before this call is heard from the first value of this frame.
int32_t mix_frame_sound(SoundMixer& mixer, FrameSound& clock, const std::vector<Sound>& sounds,
                        ThunderVoice* const* voices, int voice_count);

// A 16-bit mono WAV file written as the values come, under a temporary name
// (path + ".part") until it is finished, so the final name never holds half a file.
struct WaveFileWriter {
    std::string path;
    std::string part_path;
    FILE* file = nullptr;
    int32_t rate = 0;
    uint32_t data_bytes = 0;
    bool failed = false;
};

// Opens path + ".part" and writes a header; false after a message on standard error.
bool open_wave_file_writer(WaveFileWriter& writer, const std::string& path, int32_t rate);
// Appends values; a write error is reported once and makes finishing fail.
void append_wave_values(WaveFileWriter& writer, const int16_t* values, int32_t count);
// Completes the header and renames the file to its final name; false (and the partial
// file removed) after a message when anything failed. Harmless when not open.
bool finish_wave_file(WaveFileWriter& writer);
