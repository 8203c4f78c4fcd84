// discharge.cpp -- discharge growth, point sources, flash colours and the shared random generator
#include "lightning/discharge.h"

#include <algorithm>
#include <cmath>

LightningState lightning_state;

namespace {

// Linear congruential generator: s <- s * a + c, draw = (s >> 16) & 0x7FFF.
constexpr uint32_t kRandMultiplier = 214013u;
constexpr uint32_t kRandIncrement = 2531011u;
// A draw times this is uniform in [0, 1).
constexpr float kUniformScale = 0.000030517578125f;  // 2^-15
// Draws summed per normal deviate, and their largest possible sum (4 * 32767).
constexpr int32_t kNormalDraws = 4;
constexpr float kNormalSumMax = 131068.0f;
// The first direction of a discharge lies within 0.15 pi (27 degrees) of straight down.
constexpr float kStartConeFraction = 0.15f;
// Below this squared horizontal length a branch counts as vertical and gets the identity frame.
constexpr float kVerticalLimit = 1e-6f;
// Thunder loudness: full up to this distance from the eye, falling as 1/d, never below the floor.
constexpr float kThunderFullDistance = 500000.0f;
constexpr float kThunderGainFloor = 0.9f;
constexpr float kThunderGainCeiling = 1.0f;
// Upper bound on sources per segment; only absurd segment lengths reach it, and it
// keeps the float-to-int conversion defined.
constexpr float kMaxSourcesPerSegment = 1048576.0f;

// Weight of a branch of the given depth: 1 for the main channel, falling linearly.
float depth_weight(int32_t level, int32_t max_branch_depth) {
    if (max_branch_depth <= 0) return 1.0f;
    return 1.0f - static_cast<float>(level) / static_cast<float>(max_branch_depth);
}

float uniform_draw(LightningRandom& random) {
    return static_cast<float>(lightning_draw(random)) * kUniformScale;
}

// One new point of a branch: turn away from the branch direction by a normal
// angle at a uniform azimuth and go a uniform length. The draw order (normal
// deviate, azimuth, length) is part of what makes a seed reproducible. The local
// unit vector is returned in u because children take it as their direction.
Vec3 step_point(LightningRandom& random, const LightningSettings& settings, const BranchFrame& frame,
                Vec3 previous, Vec3& u) {
    const float g = normal_deviate(random);
    const float theta = kPi - (g * settings.turn_angle_spread + settings.turn_angle_mean);
    const float phi = static_cast<float>(lightning_draw(random)) * kUniformScale * kPi * 2.0f;
    const float r_length = static_cast<float>(lightning_draw(random));
    const float len = settings.segment_length_min +
                      (settings.segment_length_max - settings.segment_length_min) * r_length * kUniformScale;
    const float sin_theta = std::sin(theta);
    u = Vec3{sin_theta * std::cos(phi), sin_theta * std::sin(phi), std::cos(theta)};
    const Vec3 offset = add(add(scale(frame.e1, u.x), scale(frame.e2, u.y)), scale(frame.e3, u.z));
    return add(previous, scale(offset, len));
}

void set_zero(Vec3& v) { v = Vec3{}; }

void append_source(PointSources& ps, Vec3 pos, Vec3 intensity) {
    ps.point_source_pos[static_cast<size_t>(ps.point_source_count)] = pos;
    ps.point_source_int[static_cast<size_t>(ps.point_source_count)] = intensity;
    ++ps.point_source_count;
    if (ps.point_source_count >= ps.point_source_capacity) {
        ps.point_source_capacity += kPointSourceBlock;
        ps.point_source_pos.resize(static_cast<size_t>(ps.point_source_capacity));
        ps.point_source_int.resize(static_cast<size_t>(ps.point_source_capacity));
    }
}

// Fills one record from start point p: colours, an empty slot table, the first
// direction, the whole channel tree, and finally the thunder voice.
void build_record(LightningRandom& random, const LightningSettings& settings, DischargeRecord& record, Vec3 p,
                  Vec3 eye, bool synthesised_thunder) {
    record.channel_colour = settings.channel_colour;
    record.glow_colour = settings.glow_colour;
    record.emission_colour = settings.emission_colour;
    for (Branch& b : record.branches) b.point_count = 0;
    record.branch_count = 0;

    const float r1 = static_cast<float>(lightning_draw(random));
    const float theta0 = kPi - r1 * kPi * kUniformScale * kStartConeFraction;
    const float r2 = static_cast<float>(lightning_draw(random));
    const float phi0 = r2 * kTwoPi * kUniformScale;
    lightning_draw(random);  // consumed and unused, but it shifts every later draw
    const float sin_theta0 = std::sin(theta0);
    const Vec3 direction{sin_theta0 * std::cos(phi0), sin_theta0 * std::sin(phi0), std::cos(theta0)};
    grow_branch(random, settings, record, 0, p, direction, settings.continue_probability);

    // The sound timer reads these without a lock: a voice only plays once
    // thunder_pos is 0 and a wave is set, so the position goes first.
    const float d = length(sub(p, eye));
    float gain = d > 0.0f ? kThunderFullDistance / d : kThunderGainCeiling;
    gain = std::min(std::max(gain, kThunderGainFloor), kThunderGainCeiling);
    if (synthesised_thunder)
        start_synthesised_voice(record.thunder, gain);
    else
        start_sampled_voice(record.thunder, 0, gain);
}

}  // namespace

float branch_weight(int32_t level, int32_t max_branch_depth) { return depth_weight(level, max_branch_depth); }

void reset_lightning(LightningState& state) { state = LightningState{}; }

void prepare_discharges(LightningState& state, const LightningSettings& settings) {
    const int32_t count = std::min(std::max(settings.discharge_count, 0), kMaxDischargeRecords);
    const size_t slots = static_cast<size_t>(std::max(settings.max_branches, 0));
    const size_t points = static_cast<size_t>(std::max(settings.max_branch_points, 0));
    state.discharges = count > 0 ? std::make_unique<DischargeRecord[]>(static_cast<size_t>(count)) : nullptr;
    state.discharge_count = count;
    for (int32_t i = 0; i < count; ++i) {
        DischargeRecord& r = state.discharges[static_cast<size_t>(i)];
        r.branches.assign(slots, Branch{});
        for (Branch& b : r.branches) b.points.assign(points, Vec3{});
        r.branch_count = 0;
        r.thunder.thunder_pos.store(-1);
        r.thunder.thunder_wave.store(-1);
    }
    seed_lightning_random(state.random, settings.seed);
    // The next rebuild allocates the first block again.
    state.sources = PointSources{};
}

void seed_lightning_random(LightningRandom& random, int32_t seed) {
    random.s = static_cast<uint32_t>(seed);
    random.normal_n = kNormalDraws;
    random.normal_offset = std::sqrt(12.0f);
    random.normal_scale = 2.0f * random.normal_offset / kNormalSumMax;
}

int32_t lightning_draw(LightningRandom& random) {
    random.s = random.s * kRandMultiplier + kRandIncrement;
    return static_cast<int32_t>((random.s >> 16) & 0x7FFFu);
}

float normal_deviate(LightningRandom& random) {
    float sum = 0.0f;
    for (int32_t i = 0; i < random.normal_n; ++i) sum += static_cast<float>(lightning_draw(random));
    return random.normal_scale * sum - random.normal_offset;
}

void advance_lightning_random(LightningRandom& random, int draws) {
    for (int i = 0; i < draws; ++i) lightning_draw(random);
}

bool outside_discharge_domain(Vec3 p, const LightningSettings& settings) {
    const Vec3 lo = settings.discharge_box_low, hi = settings.discharge_box_high;
    // A channel that climbs out of the top keeps going; only the ground and the sides stop it.
    return p.z < lo.z || p.x < lo.x || p.x > hi.x || p.y < lo.y || p.y > hi.y;
}

BranchFrame make_branch_frame(Vec3 a, Vec3 b) {
    const Vec3 h = sub(a, b);
    const float horizontal = h.x * h.x + h.y * h.y;
    if (horizontal < kVerticalLimit) return BranchFrame{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    const float h_len = std::sqrt(horizontal + h.z * h.z);
    const float rho = std::sqrt(horizontal);
    BranchFrame f;
    f.e3 = Vec3{h.x / h_len, h.y / h_len, h.z / h_len};
    f.e1 = Vec3{-h.y / rho, h.x / rho, 0.0f};
    const Vec3 e2{-h.x * h.z, -h.y * h.z, horizontal};  // h x e1, not yet unit
    const float e2_len = length(e2);
    f.e2 = Vec3{e2.x / e2_len, e2.y / e2_len, e2.z / e2_len};
    return f;
}

void grow_branch(LightningRandom& random, const LightningSettings& settings, DischargeRecord& record,
                 int depth, Vec3 start, Vec3 direction, float continue_chance) {
    // Refused requests draw nothing: the caller's decision draw has already happened.
    if (record.branch_count >= static_cast<int32_t>(record.branches.size()) ||
        depth >= settings.max_branch_depth)
        return;
    Branch& b = record.branches[static_cast<size_t>(record.branch_count)];
    const int32_t limit = static_cast<int32_t>(b.points.size());
    if (limit < 2) return;
    ++record.branch_count;
    b.level = depth;
    b.points[0] = start;
    // The frame stays that of the branch's first direction for all its points.
    const BranchFrame frame = make_branch_frame(start, add(start, direction));
    Vec3 u;
    b.points[1] = step_point(random, settings, frame, b.points[0], u);
    bool stop = outside_discharge_domain(b.points[1], settings);
    const float branch_chance = depth_weight(depth, settings.max_branch_depth) * settings.branch_probability;
    int32_t i = 2;
    while (!stop && i < limit) {
        const Vec3 p = step_point(random, settings, frame, b.points[static_cast<size_t>(i - 1)], u);
        b.points[static_cast<size_t>(i)] = p;
        if (outside_discharge_domain(p, settings)) stop = true;
        // The decisions are drawn even for a point that just left the domain.
        if (branch_chance > uniform_draw(random))
            grow_branch(random, settings, record, depth + 1, p, u, continue_chance * settings.continue_decay);
        if (continue_chance < uniform_draw(random)) stop = true;
        ++i;
    }
    // The point that left the domain stays as the last one.
    b.point_count = i;
}

void rebuild_point_sources(LightningState& state, const LightningSettings& settings) {
    PointSources& ps = state.sources;
    if (ps.point_source_capacity == 0) {
        ps.point_source_capacity = kPointSourceBlock;
        ps.point_source_pos.assign(static_cast<size_t>(kPointSourceBlock), Vec3{});
        ps.point_source_int.assign(static_cast<size_t>(kPointSourceBlock), Vec3{});
    }
    ps.point_source_count = 0;
    for (int32_t r = 0; r < state.discharge_count; ++r) {
        const DischargeRecord& rec = state.discharges[static_cast<size_t>(r)];
        for (int32_t bi = 0; bi < rec.branch_count; ++bi) {
            const Branch& b = rec.branches[static_cast<size_t>(bi)];
            const Vec3 k = scale(rec.channel_colour, depth_weight(b.level, settings.max_branch_depth));
            const Vec3 per_length = mul(rec.emission_colour, k);
            for (int32_t s = 0; s + 1 < b.point_count; ++s) {
                const Vec3 a = b.points[static_cast<size_t>(s)];
                const Vec3 d = sub(b.points[static_cast<size_t>(s + 1)], a);
                const float len2 = dot(d, d);
                if (!(len2 > 0.0f)) continue;
                const float len = std::sqrt(len2);
                const Vec3 u{d.x / len, d.y / len, d.z / len};
                // Sources at most 2 apart, each carrying the light of the length it stands for.
                const int32_t m = static_cast<int32_t>(std::min(len * 0.5f + 1.0f, kMaxSourcesPerSegment));
                const float step = len / static_cast<float>(m);
                const Vec3 intensity = scale(per_length, step);
                for (int32_t t = 0; t < m; ++t)
                    append_source(ps, add(a, scale(u, static_cast<float>(t) * step)), intensity);
            }
        }
    }
}

void add_object_flash(std::vector<SceneObject>& objects, Vec3 colour) {
    for (SceneObject& o : objects)
        for (ObjectVertex& v : o.vertices) v.colour = add(v.colour, colour);
}

void generate_discharge(LightningState& state, const LightningSettings& settings, int index, Vec3 start,
                        Vec3 eye, std::vector<SceneObject>& objects) {
    if (!state.discharges || index < 0 || index >= state.discharge_count) return;
    // Record 0 starts a new round of flashes; later records add to it.
    if (index == 0) {
        set_zero(state.object_flash_total);
        set_zero(state.sky_flash_colour);
    }
    build_record(state.random, settings, state.discharges[static_cast<size_t>(index)], start, eye,
                 state.synthesised_thunder);
    state.object_flash_total = add(state.object_flash_total, settings.object_flash);
    state.sky_flash_colour = add(state.sky_flash_colour, settings.sky_flash);
    rebuild_point_sources(state, settings);
    add_object_flash(objects, state.object_flash_total);
}

int strike_record(int strike_number, int discharge_count) {
    if (discharge_count <= 0 || strike_number < 0) return 0;
    return strike_number % discharge_count;
}

int strike_discharge(LightningState& state, const LightningSettings& settings, int strike_number, Vec3 start,
                     Vec3 eye, std::vector<SceneObject>& objects) {
    if (!state.discharges || state.discharge_count <= 0) return -1;
    const int index = strike_record(strike_number, state.discharge_count);
    for (int32_t r = 0; r < state.discharge_count; ++r)
        state.discharges[static_cast<size_t>(r)].branch_count = 0;
    set_zero(state.object_flash_total);
    set_zero(state.sky_flash_colour);
    generate_discharge(state, settings, index, start, eye, objects);
    return index;
}

void clear_discharges(LightningState& state, const LightningSettings& settings,
                      std::vector<SceneObject>& objects) {
    state.sources.point_source_count = 0;
    for (int32_t r = 0; r < state.discharge_count; ++r)
        state.discharges[static_cast<size_t>(r)].branch_count = 0;
    set_zero(state.sky_flash_colour);
    rebuild_point_sources(state, settings);
    add_object_flash(objects, Vec3{});
}
