// strike_thunder.cpp -- each strike's own thunder: the scene's loudness once, a synthesis job per strike
#include "app/strike_thunder.h"

#include <cstdio>

#include "lightning/thunder_channel.h"

StrikeThunder prepare_strike_thunder(const Scene& scene) {
    StrikeThunder t;
    if (!(scene.thunder_metres_per_unit > 0.0f)) return t;
    t.on = true;
    t.metres_per_unit = scene.thunder_metres_per_unit;
    t.params.ceiling = kThunderPeak;
    // Strikes start on the cloud base's plane.
    const double base = static_cast<double>(scene.cloud.grd_origin.z) * t.metres_per_unit;
    t.params.gain =
        reference_thunder_gain(base, main_channel_strength(scene.lightning), kThunderPeak, t.params);
    return t;
}

ThunderPlan start_strike_thunder(const StrikeThunder& thunder, DischargeRecord& record,
                                 const LightningSettings& settings, Vec3 eye, ThunderWorker& worker,
                                 const std::vector<ThunderStroke>& strokes) {
    ThunderJob job;
    job.voice = &record.thunder;
    job.generation = record.thunder.synth_generation.load();
    job.channel =
        tortuous_channel(thunder_channel(record, settings, thunder.metres_per_unit), kThunderPieceMetres);
    job.listener = scale(eye, thunder.metres_per_unit);
    job.params = thunder.params;
    job.strokes = strokes;
    const ThunderPlan plan = plan_thunder(job.channel, job.listener, job.params, job.strokes);
    submit_thunder(worker, std::move(job));
    return plan;
}

std::string thunder_line(const ThunderPlan& plan) {
    if (plan.sample_count <= 0) return "thunder: nothing to hear";
    char line[160];
    std::snprintf(line, sizeof line,
                  "thunder: channel %.1f to %.1f m away, heard from %.2f s to %.2f s after the strike",
                  plan.nearest_m, plan.farthest_m, static_cast<double>(plan.first_sample) / kThunderRate,
                  static_cast<double>(plan.first_sample + plan.sample_count) / kThunderRate);
    return line;
}
