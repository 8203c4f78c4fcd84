// thunder_voice.h -- the thunder fields shared by the window thread and the sound timer
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

// thunder_wave of a voice that plays a synthesised buffer instead of a sound of the table.
constexpr int32_t kSynthesisedWave = -2;

// A strike's own thunder, immutable once a voice points at it.
struct SynthesisedThunder {
    std::vector<float> samples;
    int64_t first_sample = 0;  // samples from the strike to samples[0]
    uint32_t generation = 0;   // the voice start it was made for
};

// One voice per discharge record. The window thread stores thunder_pos, then
// thunder_wave, then thunder_gain when a discharge starts; the timer thread reads
// all three and advances thunder_pos. Atomics keep that hand-over free of data
// races without a lock; the store order is part of the contract.
//
// A synthesised voice (thunder_wave kSynthesisedWave) counts thunder_pos in samples since the
// strike and plays `synth` once its generation is the voice's: until the synthesis is done the
// voice runs silent, so it starts at the sample its arrival time says. synth_mixes counts the
// mixes that have finished with `synth`, so that a replaced buffer is freed only once no mix
// can still be reading it.
struct ThunderVoice {
    std::atomic<int32_t> thunder_pos{-1};   // next value of the sound to mix; -1 = silent
    std::atomic<int32_t> thunder_wave{-1};  // index into the sound table; -1 = none
    std::atomic<float> thunder_gain{1.0f};  // loudness factor from the distance to the eye
    std::atomic<uint32_t> synth_generation{0};
    std::atomic<const SynthesisedThunder*> synth{nullptr};
    std::atomic<uint32_t> synth_mixes{0};
};

// Starts a voice on sound `wave` of the table.
inline void start_sampled_voice(ThunderVoice& v, int32_t wave, float gain) {
    v.thunder_pos.store(0);
    v.thunder_wave.store(wave);
    v.thunder_gain.store(gain);
}

// Starts a voice whose buffer is still to come; returns the generation the buffer must carry.
// The new generation goes first, so that no mix plays the previous strike's buffer from 0.
inline uint32_t start_synthesised_voice(ThunderVoice& v, float gain) {
    const uint32_t generation = v.synth_generation.fetch_add(1) + 1;
    v.thunder_pos.store(0);
    v.thunder_wave.store(kSynthesisedWave);
    v.thunder_gain.store(gain);
    return generation;
}
