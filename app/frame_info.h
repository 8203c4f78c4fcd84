// frame_info.h -- the frame rate and the line of the "i" overlay
#pragma once

#include <array>
#include <string>

// Frames counted for the rate; older ones drop out.
constexpr int kFrameClockSize = 16;
// Frames further apart than this (seconds) belong to different bursts of drawing: a window at rest
// draws nothing, and its rate is that of the last burst.
constexpr double kFrameBurstGap = 1.0;

// When the last frames were drawn, seconds on a steady clock, oldest first.
struct FrameClock {
    std::array<double, kFrameClockSize> times{};
    int count = 0;
};

// Notes a frame drawn at time t; a gap longer than kFrameBurstGap starts a new burst.
void note_frame(FrameClock& clock, double t);
// Frames per second over the frames kept; 0 with fewer than two.
double frames_per_second(const FrameClock& clock);
// The one line of the overlay: frame rate, last relight time and splats drawn.
std::string frame_info_line(double fps, double relight_ms, int splats);
