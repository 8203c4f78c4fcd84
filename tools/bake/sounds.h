// sounds.h -- synthesised thunder and rain, and the 16-bit mono wave files that hold them
#pragma once

#include <cstdint>
#include <vector>

// Output rate of the viewer's sound: the files are made at it, so nothing is resampled.
constexpr int32_t kSoundRate = 16000;

// A thunder clap of `seconds`: a sharp broadband crack with a few after-crackles, then
// a long low rumble of filtered noise whose loudness rolls in slow random swells and
// dies away. Peak at 90 % of full scale; same seed, same samples.
std::vector<int16_t> synthesise_thunder(double seconds, uint32_t seed);

// A rain loop of `seconds`: steady hiss plus random drop ticks. Its end is cross-faded
// into its start, so playing it round and round has no seam. Peak at 45 % of full scale.
std::vector<int16_t> synthesise_rain(double seconds, uint32_t seed);

// A canonical 44-byte-header PCM wave file: one channel, 16 bits, kSoundRate Hz.
std::vector<uint8_t> wave_file_bytes(const std::vector<int16_t>& samples);
