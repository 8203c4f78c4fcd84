// discharge.h -- random branching discharges and the point sources that light the scene
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "scene/scene.h"
#include "scene/sections.h"
#include "sound/thunder_voice.h"
#include "support/vec3.h"

// Point-source arrays start with this many slots and grow by as many when full.
constexpr int32_t kPointSourceBlock = 1000;
// Most discharge records; the lightning section refuses larger counts with a message,
// so the generator never silently keeps fewer than a scene asks for.
constexpr int32_t kMaxDischargeRecords = kMaxDischarges;

// One straight-segment channel: consecutive points are the segment ends.
struct Branch {
    int32_t level = 0;         // depth, 0 for the main channel
    int32_t point_count = 0;   // points in use, at least 2 once the branch exists
    std::vector<Vec3> points;  // max_branch_points slots, allocated once and reused
};

// One discharge: its branches in pre-order, the colours it was made with, and
// the thunder voice that the sound timer plays for it.
struct DischargeRecord {
    int32_t branch_count = 0;                           // slots in use
    std::vector<Branch> branches;                       // max_branches slots
    Vec3 channel_colour, glow_colour, emission_colour;  // copies taken at generation
    ThunderVoice thunder;                               // shared with the sound timer thread
};

// Evenly spaced lights standing in for the channels; the two arrays run in parallel.
struct PointSources {
    std::vector<Vec3> point_source_pos;  // world position
    std::vector<Vec3> point_source_int;  // RGB intensity
    int32_t point_source_count = 0;
    int32_t point_source_capacity = 0;  // 0 until the first rebuild allocates
};

// The program's one linear congruential generator and its normal-deviate constants.
struct LightningRandom {
    uint32_t s = 0;              // state, wraps modulo 2^32
    int32_t normal_n = 4;        // draws summed per normal deviate
    float normal_offset = 0.0f;  // sqrt(12)
    float normal_scale = 0.0f;   // 2 * offset / (n * 32767)
};

// An orthonormal right-handed frame; e3 points from the branch end back to its start.
struct BranchFrame {
    Vec3 e1, e2, e3;
};

// Everything the lightning subsystem keeps between clicks.
struct LightningState {
    std::unique_ptr<DischargeRecord[]> discharges;  // discharge_count records
    int32_t discharge_count = 0;
    PointSources sources;
    Vec3 object_flash_total;  // added to every object vertex colour
    Vec3 sky_flash_colour;    // background clear colour
    LightningRandom random;
    bool synthesised_thunder = false;  // strikes start voices that wait for their own thunder
    // How bright the frame shows the discharge's display-valued colours (channel, glow): 1 as generated;
    // a flash in time sets it frame by frame.
    float flash_display = 1.0f;
};

// The process-wide lightning state; only app/ reaches it directly.
extern LightningState lightning_state;

// Weight of a branch of the given depth in light and in thunder: 1 for the main channel, falling linearly.
float branch_weight(int32_t level, int32_t max_branch_depth);
// Back to the state before any lightning section was read.
void reset_lightning(LightningState& state);

// Allocates the records a lightning section asks for, seeds the generator and drops the point sources.
void prepare_discharges(LightningState& state, const LightningSettings& settings);

// Sets the generator state to seed and prepares the normal deviate (4 draws).
void seed_lightning_random(LightningRandom& random, int32_t seed);
// Advances the generator and returns the next draw, 0 ... 32767.
int32_t lightning_draw(LightningRandom& random);
// Sum of four draws mapped to mean 0, variance almost 1, range +-3.4641.
float normal_deviate(LightningRandom& random);
// Throws away the given number of draws.
void advance_lightning_random(LightningRandom& random, int draws);

// True when p has left the growth domain; the top face (high z) is never tested.
bool outside_discharge_domain(Vec3 p, const LightningSettings& settings);
// Frame for a branch from a towards b; the identity when a - b is (almost) vertical.
BranchFrame make_branch_frame(Vec3 a, Vec3 b);
// Grows one branch of the given depth from start along direction into the record's next free slot, children
// first.
void grow_branch(LightningRandom& random, const LightningSettings& settings, DischargeRecord& record,
                 int depth, Vec3 start, Vec3 direction, float continue_chance);
// Rebuilds the point-source list from every branch of every record.
void rebuild_point_sources(LightningState& state, const LightningSettings& settings);
// Adds colour to every vertex colour of every object.
void add_object_flash(std::vector<SceneObject>& objects, Vec3 colour);
// Fills record index from start, adds its flashes, rebuilds the sources and starts its thunder; a bad index
// does nothing.
void generate_discharge(LightningState& state, const LightningSettings& settings, int index, Vec3 start,
                        Vec3 eye, std::vector<SceneObject>& objects);
// Record that the strike with the given number (from 0) fills: the records are taken in turn, so the
// thunder of each of the last discharge_count strikes plays on. 0 when there are no records.
int strike_record(int strike_number, int discharge_count);
// One strike: empties every record (their thunder plays on), drops the flashes of earlier strikes and
// fills record strike_record(strike_number) from start, so that the flashes and the point sources are
// those of this discharge alone. Returns the record filled, or -1 when there is none.
int strike_discharge(LightningState& state, const LightningSettings& settings, int strike_number, Vec3 start,
                     Vec3 eye, std::vector<SceneObject>& objects);
// Empties every record and the point sources and drops the sky flash; the thunder plays on.
void clear_discharges(LightningState& state, const LightningSettings& settings,
                      std::vector<SceneObject>& objects);
