// thunder_voice.h -- the thunder fields shared by the window thread and the sound timer
#pragma once

#include <atomic>
#include <cstdint>

// One voice per discharge record. The window thread stores thunder_pos, then
// thunder_wave, then thunder_gain when a discharge starts; the timer thread reads
// all three and advances thunder_pos. Atomics keep that hand-over free of data
// races without a lock; the store order is part of the contract.
struct ThunderVoice {
    std::atomic<int32_t> thunder_pos{-1};   // next value of the sound to mix; -1 = silent
    std::atomic<int32_t> thunder_wave{-1};  // index into the sound table; -1 = none
    std::atomic<float> thunder_gain{1.0f};  // loudness factor from the distance to the eye
};
