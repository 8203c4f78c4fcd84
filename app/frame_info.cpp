// frame_info.cpp -- the frame rate and the line of the "i" overlay
#include "app/frame_info.h"

#include <algorithm>
#include <cstdio>

void note_frame(FrameClock& clock, double t) {
    if (clock.count > 0 && t - clock.times[static_cast<size_t>(clock.count - 1)] > kFrameBurstGap)
        clock.count = 0;
    if (clock.count == kFrameClockSize) {
        std::rotate(clock.times.begin(), clock.times.begin() + 1, clock.times.end());
        --clock.count;
    }
    clock.times[static_cast<size_t>(clock.count++)] = t;
}

double frames_per_second(const FrameClock& clock) {
    if (clock.count < 2) return 0.0;
    const double span = clock.times[static_cast<size_t>(clock.count - 1)] - clock.times[0];
    return span > 0.0 ? static_cast<double>(clock.count - 1) / span : 0.0;
}

std::string frame_info_line(double fps, double relight_ms, int splats) {
    char line[128];
    if (fps > 0.0) {
        std::snprintf(line, sizeof line, "%.1f fps   relight %.1f ms   %d splats", fps, relight_ms, splats);
    } else {
        std::snprintf(line, sizeof line, "-- fps   relight %.1f ms   %d splats", relight_ms, splats);
    }
    return line;
}
