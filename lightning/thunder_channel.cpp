// thunder_channel.cpp -- a discharge's channel as the sources of its thunder
#include "lightning/thunder_channel.h"

namespace {

float mean_rgb(Vec3 c) { return (c.x + c.y + c.z) / 3.0f; }

}  // namespace

std::vector<ThunderSegment> thunder_channel(const DischargeRecord& record, const LightningSettings& settings,
                                            float metres_per_unit) {
    std::vector<ThunderSegment> out;
    const float per_length = mean_rgb(mul(record.channel_colour, record.emission_colour));
    for (int32_t bi = 0; bi < record.branch_count && bi < static_cast<int32_t>(record.branches.size());
         ++bi) {
        const Branch& b = record.branches[static_cast<size_t>(bi)];
        const float strength = per_length * branch_weight(b.level, settings.max_branch_depth);
        for (int32_t s = 0; s + 1 < b.point_count && s + 1 < static_cast<int32_t>(b.points.size()); ++s) {
            out.push_back(ThunderSegment{scale(b.points[static_cast<size_t>(s)], metres_per_unit),
                                         scale(b.points[static_cast<size_t>(s + 1)], metres_per_unit),
                                         strength});
        }
    }
    return out;
}

float main_channel_strength(const LightningSettings& settings) {
    return mean_rgb(mul(settings.channel_colour, settings.emission_colour));
}
