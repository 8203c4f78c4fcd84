// limiter.cpp -- keeps the mixed sound below full scale however many voices overlap
#include "sound/limiter.h"

#include <cmath>

void limit_block(Limiter& limiter, float* values, int32_t count, int32_t rate) {
    const double release = rate > 0 ? 1.0 - std::exp(-1.0 / (kLimiterReleaseSeconds * rate)) : 1.0;
    double gain = limiter.gain;
    if (!(gain > 0.0 && gain <= 1.0)) gain = 1.0;
    for (int32_t k = 0; k < count; ++k) {
        gain += (1.0 - gain) * release;
        const double magnitude = std::fabs(values[k]);
        if (magnitude * gain > kLimiterCeiling) gain = kLimiterCeiling / magnitude;
        // Once the gain is back within a float's rounding step of 1 it is 1, so quiet sound stays bit-exact.
        if (gain > 1.0 - 1e-7) gain = 1.0;
        if (gain < 1.0) values[k] = static_cast<float>(values[k] * gain);
    }
    limiter.gain = gain;
}
