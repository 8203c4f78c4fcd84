// thunder_synthesis.h -- thunder made from a channel's geometry: N-waves per segment, delayed, spread,
// absorbed
#pragma once

#include <cstdint>
#include <vector>

#include "sound/thunder_voice.h"
#include "support/vec3.h"

// Samples per second of every synthesised voice (the mixer's output rate).
constexpr int32_t kThunderRate = 16000;

// One straight piece of channel, in metres, with its strength per metre (the same weight that
// makes the piece's light: brighter channel, louder shock).
struct ThunderSegment {
    Vec3 a, b;
    float strength = 1.0f;
};

// One return stroke along the channel: its time after the flash's first stroke, in seconds, and
// its strength relative to a full stroke.
struct ThunderStroke {
    double time = 0.0;
    float strength = 1.0f;
};

// Air the sound travels through.
struct AirConditions {
    double temperature_c = 20.0;
    double humidity_percent = 70.0;
    double pressure_kpa = 101.325;
};

// Everything the synthesis needs besides the channel and the listener.
struct ThunderParams {
    double speed_of_sound = 343.0;  // m/s
    double energy_per_metre = 5e5;  // J/m deposited by a return stroke; sets the N-wave length
    AirConditions air;
    bool absorption = true;     // off only for tests that look at the bare N-waves
    float gain = 1.0f;          // the scene's loudness normalisation
    float ceiling = 0.9f;       // no sample of a voice goes beyond this; louder voices are scaled down
    double max_seconds = 60.0;  // longest voice kept; later arrivals are dropped
};

// What a strike's thunder will be, known before it is synthesised.
struct ThunderPlan {
    double nearest_m = 0.0, farthest_m = 0.0;  // channel distances from the listener
    int64_t first_sample = 0;                  // strike to the buffer's first sample
    int64_t sample_count = 0;                  // buffer length; 0 when nothing is heard
};

// Air absorption in dB per metre at `frequency` Hz (the pure-tone formula of ISO 9613-1).
double air_absorption_db_per_metre(double frequency, const AirConditions& air);

// Few's relaxation radius in metres: the shock's size for energy_per_metre J/m at sea level.
double relaxation_radius(double energy_per_metre);

// Length in seconds of the N-wave heard `distance` metres from the channel: 2.6 R0 / c near it,
// lengthening slowly on the way.
double nwave_seconds(double distance, const ThunderParams& params);

// The channel as a real one is: each segment broken into pieces of about piece_metres that turn
// by some 16 degrees at random, the segment's ends kept. The same segments give the same pieces.
std::vector<ThunderSegment> tortuous_channel(const std::vector<ThunderSegment>& segments,
                                             double piece_metres);

// Nearest and farthest distance and the buffer that synthesise_thunder will fill.
ThunderPlan plan_thunder(const std::vector<ThunderSegment>& segments, Vec3 listener,
                         const ThunderParams& params,
                         const std::vector<ThunderStroke>& strokes = {ThunderStroke{}});

// The thunder heard at listener (metres): every element of every segment sends an N-wave that
// arrives after distance / c plus its stroke's time, falls off as 1/distance and loses its high
// frequencies to the air. Samples are times params.gain, scaled down to params.ceiling if louder.
SynthesisedThunder synthesise_thunder(const std::vector<ThunderSegment>& segments, Vec3 listener,
                                      const ThunderParams& params,
                                      const std::vector<ThunderStroke>& strokes = {ThunderStroke{}});

// The scene's gain: a straight vertical channel of strength per metre `strength` from
// base_height metres to the ground, heard on the ground base_height metres from its foot (about
// the nearest a strike comes to someone under the storm), peaks at `peak`.
float reference_thunder_gain(double base_height, float strength, float peak, const ThunderParams& params);
