// thunder_channel.h -- a discharge's channel as the sources of its thunder
#pragma once

#include <vector>

#include "lightning/discharge.h"
#include "sound/thunder_synthesis.h"

// Every segment of every branch of the record, in metres, each as loud per metre as it is
// bright: the branch's depth weight times the record's channel and emission colours (their
// mean over red, green and blue).
std::vector<ThunderSegment> thunder_channel(const DischargeRecord& record, const LightningSettings& settings,
                                            float metres_per_unit);

// Strength per metre of a main channel (depth 0) made with the settings in force.
float main_channel_strength(const LightningSettings& settings);
