// glow.cpp -- drawing of the discharge channels and of their fog glow billboards
#include "lightning/glow.h"

#include <GL/gl.h>

// Below this share of its colour a channel is not drawn at all.
constexpr float kDarkChannel = 0.02f;

namespace {

// Line width of the main channel; other branches get 2 * depth weight.
constexpr float kMainChannelWidth = 3.0f;
constexpr float kBranchWidthScale = 2.0f;
// Only every fifth point source carries a billboard, which bounds the blended quads.
constexpr int32_t kGlowSourceStride = 5;

float depth_weight(int32_t level, int32_t max_branch_depth) {
    if (max_branch_depth <= 0) return 1.0f;
    return 1.0f - static_cast<float>(level) / static_cast<float>(max_branch_depth);
}

}  // namespace

void draw_channels(const LightningState& state, const LightningSettings& settings) {
    // Between the strokes of a flash the channel is dark: drawn black it would cut the sky.
    if (state.flash_display < kDarkChannel) return;
    // Lighting, fog and depth are whatever the display has set; only width and colour change here.
    glPushAttrib(GL_LINE_BIT | GL_CURRENT_BIT);
    for (int32_t r = 0; r < state.discharge_count; ++r) {
        const DischargeRecord& rec = state.discharges[static_cast<size_t>(r)];
        for (int32_t bi = 0; bi < rec.branch_count; ++bi) {
            const Branch& b = rec.branches[static_cast<size_t>(bi)];
            const float w = depth_weight(b.level, settings.max_branch_depth);
            glLineWidth(b.level == 0 ? kMainChannelWidth : kBranchWidthScale * w);
            const Vec3 c = scale(rec.channel_colour, w * state.flash_display);
            glColor3f(c.x, c.y, c.z);
            glBegin(GL_LINES);
            for (int32_t k = 0; k + 1 < b.point_count; ++k) {
                const Vec3 p = b.points[static_cast<size_t>(k)];
                const Vec3 q = b.points[static_cast<size_t>(k + 1)];
                glVertex3f(p.x, p.y, p.z);
                glVertex3f(q.x, q.y, q.z);
            }
            glEnd();
        }
    }
    glPopAttrib();
}

void upload_glow_texture(GlowState& glow, const std::vector<float>& image) {
    glPushAttrib(GL_TEXTURE_BIT);
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    // Four 8-bit components: the halo is clamped to [0, 1], which is how it has always looked.
    glTexImage2D(GL_TEXTURE_2D, 0, 4, kGlowTextureSize, kGlowTextureSize, 0, GL_RGBA, GL_FLOAT, image.data());
    glPopAttrib();
    glow.glow_texture = name;
}

void draw_glow(GlowState& glow, const LightningState& state, const LightningSettings& settings,
               const FogSettings& fog, Vec3 eye) {
    if (!glow.texture_built) {
        upload_glow_texture(glow, build_glow_image(fog));
        glow.texture_built = true;
    }
    // The pass leaves depth comparison at less-or-equal, sources or not, from its first
    // frame on: later passes (the next frame's dome, channels and objects) then also draw
    // where they meet an equal depth.
    glDepthFunc(GL_LEQUAL);
    const PointSources& ps = state.sources;
    if (ps.point_source_count <= 0) return;

    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_TEXTURE_BIT | GL_CURRENT_BIT |
                 GL_TRANSFORM_BIT);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, glow.glow_texture);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    // Halos add light: they neither hide what lies behind them nor each other.
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE);
    glDepthMask(GL_FALSE);
    glMatrixMode(GL_MODELVIEW);

    static const float kTexCoords[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (int32_t i = 0; i < ps.point_source_count; i += kGlowSourceStride) {
        const Vec3 p = ps.point_source_pos[static_cast<size_t>(i)];
        const GlowAngles a = glow_billboard_angles(p, eye);
        glPushMatrix();
        glTranslatef(p.x, p.y, p.z);
        glRotatef(a.yaw_degrees, 0.0f, 0.0f, 1.0f);
        glRotatef(a.pitch_degrees, 0.0f, 1.0f, 0.0f);
        glScalef(settings.glow_size, settings.glow_size, settings.glow_size);
        const Vec3 c = scale(mul(ps.point_source_int[static_cast<size_t>(i)], settings.glow_colour),
                             state.flash_display);
        glColor3f(c.x, c.y, c.z);
        glBegin(GL_QUADS);
        for (int k = 0; k < 4; ++k) {
            glTexCoord2f(kTexCoords[k][0], kTexCoords[k][1]);
            const Vec3 q = glow.glow_quad[static_cast<size_t>(k)];
            glVertex3f(q.x, q.y, q.z);
        }
        glEnd();
        glPopMatrix();
    }
    // Depth writes, blending and texturing go back to what the display had; the depth
    // function stays less-or-equal (set before the attributes were saved).
    glPopAttrib();
}
