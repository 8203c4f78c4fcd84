// flash.h -- a lightning flash in time: its strokes, drawn from measured statistics, and the light a frame
// sees
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Most strokes one flash may have; measured flashes rarely pass 15.
constexpr int32_t kMaxFlashStrokes = 24;

// One return stroke: when it comes after the first, and its light relative to the first stroke's.
struct FlashStroke {
    float time_s = 0.0f;  // 0 for the first stroke
    float peak = 1.0f;    // 1 for the first stroke
};

// A flash: its strokes in time order and an optional continuing current after the last one, a weaker
// steady glow of the channel. Light is counted in strokes: a stroke of peak 1 gives 1 in all.
struct Flash {
    std::vector<FlashStroke> strokes;
    float continuing_s = 0.0f;     // 0 when the flash has none
    float continuing_rate = 0.0f;  // light per second while it lasts
};

// The flashes' own random stream (splitmix64), apart from the scene's generator, so that the channel
// shapes a scene draws stay as they were.
struct FlashRandom {
    uint64_t state = 0;
};

// Seeds the stream from the scene's lightning seed.
void seed_flash_random(FlashRandom& random, int32_t seed);
// A uniform draw in [0, 1).
double flash_uniform(FlashRandom& random);
// A standard normal deviate.
double flash_normal(FlashRandom& random);

// Draws a flash: about 30 % single strokes and 3.5 on average, intervals log-normal about 65 ms, later
// strokes about half the first, a continuing current in 40 % of flashes.
Flash draw_flash(FlashRandom& random);
// A flash of one stroke and nothing after it: the light of a discharge seen for one frame.
Flash single_stroke_flash();

// The flash's light that falls in the time span [t0, t1) seconds after its first stroke (a camera's
// exposure). Summed over frames that tile time it is the flash's total light, whatever the frame length.
double flash_light_between(const Flash& flash, double t0, double t1);
// All of the flash's light.
double flash_total_light(const Flash& flash);
// Seconds after the first stroke when the flash has given all but a negligible part of its light.
double flash_end(const Flash& flash);
// One line for the console: stroke count, times in ms and relative peaks, the continuing current.
std::string describe_flash(const Flash& flash);

// A flash on screen: what was drawn, when it started on the clock that drives the frames, and how much
// of it the frames have shown so far.
struct FlashPlayback {
    bool active = false;
    Flash flash;
    double start = 0.0;        // clock seconds of the first stroke
    double shown_until = 0.0;  // flash seconds up to which earlier frames took its light
    float level = 1.0f;        // the light of the latest frame, in first strokes
};

// Starts showing `flash` from clock time `now`; a flash still on screen is replaced.
void start_flash_playback(FlashPlayback& playback, const Flash& flash, double now);
// The light of the frame whose exposure ends at clock time `frame_end` (it began where the previous
// frame's ended), in first strokes: a frame that takes in the whole first stroke and nothing else shows
// 1, as an instant discharge does. The playback ends with the first frame that reaches the flash's end.
float advance_flash_playback(FlashPlayback& playback, double frame_end);
