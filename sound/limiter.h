// limiter.h -- keeps the mixed sound below full scale however many voices overlap
#pragma once

#include <cstdint>

// Highest magnitude the limiter lets through, as a fraction of full scale: a little headroom so
// that rounding to 16 bits never reaches the end of the range.
constexpr float kLimiterCeiling = 0.95f;
// Seconds for the gain to come back most of the way (1 - 1/e) to 1 after a loud peak.
constexpr float kLimiterReleaseSeconds = 0.25f;

// The limiter's one piece of state: the gain applied to the last value, 1 when nothing was loud.
struct Limiter {
    double gain = 1.0;  // double, so that the slow climb back to 1 does not stall a rounding step short
};

// Scales values in place so that none exceeds kLimiterCeiling in magnitude. The gain drops at once
// to what the loudest value needs and then recovers smoothly towards 1 at `rate` values per second,
// so overlapping thunders are turned down together instead of being clipped; values that never come
// near the ceiling pass unchanged. NaN is left for the output conversion to silence.
void limit_block(Limiter& limiter, float* values, int32_t count, int32_t rate);
