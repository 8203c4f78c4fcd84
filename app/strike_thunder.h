// strike_thunder.h -- each strike's own thunder: the scene's loudness once, a synthesis job per strike
#pragma once

#include <string>

#include "lightning/discharge.h"
#include "scene/scene.h"
#include "sound/thunder_worker.h"

// Mean length of the tortuous pieces of the channel, metres (real channels turn every 5 to 70 m).
constexpr double kThunderPieceMetres = 25.0;
// Peak of the scene's reference strike, and the most any thunder voice reaches: with the
// background rain below 0.3 of full scale, a thunder and the rain together stay clear of it.
constexpr float kThunderPeak = 0.7f;

// Whether and how the scene's strikes make their own thunder.
struct StrikeThunder {
    bool on = false;
    float metres_per_unit = 0.0f;
    ThunderParams params;
};

// On when the scene gives its metres per unit; the gain puts the scene's reference strike (a
// straight channel from the cloud base down, heard that far from its foot) at kThunderPeak.
StrikeThunder prepare_strike_thunder(const Scene& scene);

// Queues the thunder of the record just struck, heard at eye (scene units), for the voice
// start the strike made. Returns what will be heard, for the strike's line.
ThunderPlan start_strike_thunder(const StrikeThunder& thunder, DischargeRecord& record,
                                 const LightningSettings& settings, Vec3 eye, ThunderWorker& worker,
                                 const std::vector<ThunderStroke>& strokes = {ThunderStroke{}});

// "thunder: channel N to F m away, heard from S s to E s after the strike".
std::string thunder_line(const ThunderPlan& plan);
