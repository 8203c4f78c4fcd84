// cloud_splats_draw.cpp -- drawing the prepared cloud splats with emission-absorption blending
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "render/cloud_splats.h"

namespace {

// A splat as a point sprite: the square stays facing the viewer, its side is the splat's world size
// divided by the depth, and the tile of the strip is picked per splat. The footprint is round, so a
// screen-aligned square shows what the camera-facing quad shows, from one vertex instead of four.
const char* const kSpriteVertexShader = R"(#version 120
uniform float size_scale;  // side 2a of a splat times the projection's pixels per unit at depth 1
varying vec3 splat_colour;
varying float tile;
void main() {
    vec4 eye_pos = gl_ModelViewMatrix * gl_Vertex;
    gl_Position = gl_ProjectionMatrix * eye_pos;
    // A quad facing the eye off the axis of the view spans 1 / cos of its angle more across the radius
    // than along it; the sprite takes the geometric mean of the two.
    float depth = max(-eye_pos.z, 1e-6);
    gl_PointSize = size_scale / depth * sqrt(length(eye_pos.xyz) / depth);
    splat_colour = clamp(gl_Color.rgb, 0.0, 1.0);
    tile = gl_MultiTexCoord0.s;
}
)";
const char* const kSpriteFragmentShader = R"(#version 120
uniform sampler2D strip;
varying vec3 splat_colour;
varying float tile;
void main() {
    vec4 t = texture2D(strip, vec2(gl_PointCoord.x, tile + gl_PointCoord.y / 32.0));
    gl_FragColor = vec4(splat_colour * t.rgb, t.a);
}
)";

// Draws splats first ... last - 1 as camera-facing quads (the OpenGL 1.1 path).
void draw_quads(SplatFrame& frame, const CloudGrid& cloud, Vec3 eye, int32_t first, int32_t last) {
    if (first >= last) return;
    expand_splat_quads(frame, cloud, eye, first, last);
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, frame.vertices.data());
    glTexCoordPointer(2, GL_FLOAT, 0, frame.texcoords.data());
    glColorPointer(3, GL_FLOAT, 0, frame.colours.data());
    glDrawArrays(GL_QUADS, first * 4, (last - first) * 4);
    glPopClientAttrib();
}

}  // namespace

int32_t first_splat_nearer_than(const SplatFrame& frame, Vec3 eye, float limit2) {
    int32_t lo = 0, hi = frame.quad_count;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const float* c = frame.centres.data() + static_cast<size_t>(mid) * 3;
        const float dx = c[0] - eye.x, dy = c[1] - eye.y, dz = c[2] - eye.z;
        if (dx * dx + dy * dy + dz * dz < limit2) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

void create_splat_program(RenderTextures& textures, bool allowed) {
    textures.splat_program = 0;
    if (!allowed) return;
    // Shaders and point sprites came with OpenGL 2.0; an older context keeps the quads.
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (!version || std::atoi(version) < 2) return;
    const GLuint vs = compile_shader(GL_VERTEX_SHADER, kSpriteVertexShader);
    const GLuint fs = compile_shader(GL_FRAGMENT_SHADER, kSpriteFragmentShader);
    if (vs == 0 || fs == 0) {
        if (vs) glDeleteShader(vs);
        if (fs) glDeleteShader(fs);
        return;
    }
    const GLuint program = glCreateProgram();
    glAttachShader(program, vs);
    glAttachShader(program, fs);
    glLinkProgram(program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    GLfloat range[2] = {0.0f, 0.0f};
    glGetFloatv(GL_ALIASED_POINT_SIZE_RANGE, range);
    if (!ok || !(range[1] > 1.0f)) {
        glDeleteProgram(program);
        return;
    }
    textures.splat_program = program;
    textures.max_point_size = range[1];
    textures.size_scale_location = glGetUniformLocation(program, "size_scale");
    textures.strip_location = glGetUniformLocation(program, "strip");
}

unsigned compile_shader(unsigned kind, const char* source) {
    const GLuint s = glCreateShader(kind);
    glShaderSource(s, 1, &source, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        glDeleteShader(s);
        return 0;
    }
    return s;
}

void widen_viewport_for_sprites(const int viewport[4], const float projection[16], float max_point_size) {
    // A point is clipped by its centre: a sprite whose centre lies just outside the window would vanish
    // at the edge while its quad still reached in. A viewport wider by half the largest sprite on every
    // side, with the projection narrowed to match, keeps every pixel where it was and those centres
    // inside.
    GLint max_dims[2] = {0, 0};
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, max_dims);
    const GLint margin =
        std::max(0, std::min({static_cast<GLint>(std::ceil(max_point_size * 0.5f)),
                              (max_dims[0] - viewport[2]) / 2, (max_dims[1] - viewport[3]) / 2}));
    glViewport(viewport[0] - margin, viewport[1] - margin, viewport[2] + 2 * margin,
               viewport[3] + 2 * margin);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glScalef(static_cast<float>(viewport[2]) / static_cast<float>(viewport[2] + 2 * margin),
             static_cast<float>(viewport[3]) / static_cast<float>(viewport[3] + 2 * margin), 1.0f);
    glMultMatrixf(projection);
    glMatrixMode(GL_MODELVIEW);
}

void draw_cloud_splats(SplatFrame& frame, const RenderTextures& textures, CloudGrid& cloud, Vec3 eye) {
    prepare_splats_when_needed(frame, cloud, eye);
    if (frame.quad_count <= 0) return;
    // Each splat adds its colour times the footprint and lets exp(-extinction g) of what lies behind through.
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_TEXTURE_BIT | GL_POINT_BIT |
                 GL_VIEWPORT_BIT);
    glDepthMask(GL_FALSE);
    glBindTexture(GL_TEXTURE_2D, textures.splat_texture);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glEnable(GL_TEXTURE_2D);
    glBlendFunc(GL_ONE, GL_SRC_ALPHA);
    glEnable(GL_BLEND);

    int32_t sprites = 0;
    if (textures.splat_program != 0) {
        // Pixels per unit at depth 1 from the projection in force, and the viewport height.
        GLfloat projection[16];
        GLint viewport[4];
        glGetFloatv(GL_PROJECTION_MATRIX, projection);
        glGetIntegerv(GL_VIEWPORT, viewport);
        const float side = 2.0f * cloud.splat_size * cloud.grd_size;
        const float size_scale = side * projection[5] * 0.5f * static_cast<float>(viewport[3]);
        // Splats that would need a larger sprite than the renderer draws stay quads; they are the nearest,
        // so they come last in the drawing order.
        const float limit = size_scale * kSpriteSizeMargin / textures.max_point_size;
        sprites = size_scale > 0.0f ? first_splat_nearer_than(frame, eye, limit * limit) : 0;
        if (sprites > 0) {
            widen_viewport_for_sprites(viewport, projection, textures.max_point_size);
            glUseProgram(textures.splat_program);
            glUniform1f(textures.size_scale_location, size_scale);
            glUniform1i(textures.strip_location, 0);
            glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
            glEnable(GL_POINT_SPRITE);
            glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
            glEnableClientState(GL_VERTEX_ARRAY);
            glEnableClientState(GL_TEXTURE_COORD_ARRAY);
            glEnableClientState(GL_COLOR_ARRAY);
            glVertexPointer(3, GL_FLOAT, 0, frame.centres.data());
            glTexCoordPointer(1, GL_FLOAT, 0, frame.splat_tiles.data());
            glColorPointer(3, GL_FLOAT, 0, frame.splat_colours.data());
            glDrawArrays(GL_POINTS, 0, sprites);
            glPopClientAttrib();
            glUseProgram(0);
            glMatrixMode(GL_PROJECTION);
            glPopMatrix();
            glMatrixMode(GL_MODELVIEW);
        }
    }
    draw_quads(frame, cloud, eye, sprites, frame.quad_count);
    glPopAttrib();
    glDepthMask(GL_TRUE);
}
