// mixer.h -- the thunder mixer: background loop plus one thunder voice per discharge, one block per tick
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sound/audio.h"
#include "sound/limiter.h"
#include "sound/thunder_voice.h"
#include "sound/timer.h"
#include "sound/wave.h"

// The output format of the viewer.
constexpr int32_t kSoundOutputRate = 16000;
constexpr int32_t kSoundOutputBits = 16;
constexpr int32_t kSoundOutputStereo = 0;
// Timer resolution asked for, in milliseconds.
constexpr uint32_t kSoundTimerResolutionMs = 2;
// Entries of the sound table the mixer plays.
constexpr int32_t kThunderSound = 0;
constexpr int32_t kBackgroundSound = 1;

// Everything the sound timer reads and writes, plus the open output.
struct SoundMixer {
    float time_step = 0.033f;     // seconds per tick
    int32_t block_frames = 0;     // values mixed per tick
    uint32_t tick_period_ms = 0;  // timer period
    float mix_ring_seconds = 0.0f;
    int32_t mix_ring_length = 0;  // never less than block_frames
    std::vector<float> mix_ring;
    int32_t mix_position = 0;         // ring index of the current block
    int32_t background_position = 0;  // next value of the background loop; never reset
    std::vector<float> mix_block;
    std::vector<int16_t> output_block;
    Limiter limiter;  // keeps the sum of overlapping voices below full scale
    AudioHandle* audio_handle = nullptr;
    uint32_t sound_timer = 0;  // 0 while no timer runs
    // What the timer mixes; set by start_sound_timer and read only on the timer thread.
    const std::vector<Sound>* sounds = nullptr;
    std::vector<ThunderVoice*> voices;
    // Last, so that it is destroyed first: its destructor stops the tick before the
    // voices and sounds it reads go away.
    TimerSet timers;
};

// The viewer's one mixer.
extern SoundMixer sound_mixer;

// Stops the timer, closes and frees any output, and empties the buffers of mixer.
void reset_sound_mixer(SoundMixer& mixer);

// Sizes and zeroes the buffers: block_frames = truncate(16000 * time_step), tick period =
// truncate(time_step * 1000) ms, ring = truncate(16000 * mix_ring_seconds) values; each
// at least 1 (the ring at least one block) so that no later index divides by zero.
void allocate_sound_buffers(SoundMixer& mixer, float time_step, float mix_ring_seconds);

// Makes the audio handle, checks every setting reads back, opens playback on target.
// 1 when open; 0 after a message (the handle stays, and writes are then refused).
// Registers the stopping of the timer to run before the handle's own exit callback,
// so that a fatal exit never closes the output under a running tick.
int open_sound_output(SoundMixer& mixer, int rate, int bits, int frames, int stereo,
                      const std::string& target);

// Rewinds the ring to 0, silences it and lets the limiter go; the background keeps its place.
void reset_sound_mix(SoundMixer& mixer);

// Mixes the next block into mix_block and output_block from the thunder voices and the
// background loop (sound 1, when it exists), through the limiter. Voices and sounds that
// cannot play are skipped.
void mix_sound_block(SoundMixer& mixer, const std::vector<Sound>& sounds, ThunderVoice* const* voices,
                     int voice_count);

// One timer tick: mixes a block from mixer.sounds and mixer.voices and writes it; may block
// in the write while the device queue is full.
void sound_tick(SoundMixer& mixer);

// Starts the periodic tick over sounds and voices (pointers kept; they must outlive the
// timer). 1 when the timer runs; 0 without buffers or when it already runs.
int start_sound_timer(SoundMixer& mixer, const std::vector<Sound>& sounds, std::vector<ThunderVoice*> voices);

// Stops the tick and waits for a running one to finish, first letting go a tick that
// waits in the audio write; harmless when none runs.
void stop_sound_timer(SoundMixer& mixer);

// Quit: stops the timer, then frees the handle without draining or closing the stream.
void release_sound_output(SoundMixer& mixer);

// Scripted exit: stops the timer, drains every mixed block to the output, closes it and
// frees the handle, so a WAV output holds everything that was mixed.
void drain_sound_output(SoundMixer& mixer);
