// physical_frame.cpp -- float render targets, the physical splat shaders and the display transform
#define GL_GLEXT_PROTOTYPES 1
#include "render/physical_frame.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The footprint and opacity of a splat, as splat_profile and splat_opacity compute them on the CPU:
// n(d^2) = sqrt(u) (a u^2 + b u^3) / (a + b), u = 1 - d^2; alpha = 1 - exp(-depth n). The colour leaves
// premultiplied by alpha.
#define VINTREL_SPLAT_FRAGMENT(COORD)                                            \
    "#version 120\n"                                                             \
    "varying vec3 colour;\n"                                                     \
    "varying float depth;\n" COORD                                               \
    "void main() {\n"                                                            \
    "    vec2 s = coord * 2.0 - 1.0;\n"                                          \
    "    float d2 = dot(s, s);\n"                                                \
    "    if (d2 >= 1.0) discard;\n"                                              \
    "    float u = 1.0 - d2;\n"                                                  \
    "    float n = sqrt(u) * u * u * (0.2962963 + 0.2031746 * u) / 0.4994709;\n" \
    "    float alpha = 1.0 - exp(-depth * n);\n"                                 \
    "    gl_FragColor = vec4(colour * alpha, alpha);\n"                          \
    "}\n"

const char* const kSpriteVertex = R"(#version 120
uniform float size_scale;  // side 2a of a splat times the projection's pixels per unit at depth 1
attribute float centre_depth;
varying vec3 colour;
varying float depth;
void main() {
    vec4 eye_pos = gl_ModelViewMatrix * gl_Vertex;
    gl_Position = gl_ProjectionMatrix * eye_pos;
    float z = max(-eye_pos.z, 1e-6);
    gl_PointSize = size_scale / z * sqrt(length(eye_pos.xyz) / z);
    colour = gl_Color.rgb;
    depth = centre_depth;
}
)";
const char* const kSpriteFragment = VINTREL_SPLAT_FRAGMENT("#define coord gl_PointCoord\n");

// Quads carry rows 0 ... 1/32 of the strip in their texture coordinates (the physical splats have no tile).
const char* const kQuadVertex = R"(#version 120
attribute float centre_depth;
varying vec3 colour;
varying float depth;
varying vec2 quad_coord;
void main() {
    gl_Position = ftransform();
    colour = gl_Color.rgb;
    depth = centre_depth;
    quad_coord = vec2(gl_MultiTexCoord0.s, gl_MultiTexCoord0.t * 32.0);
}
)";
const char* const kQuadFragment =
    VINTREL_SPLAT_FRAGMENT("varying vec2 quad_coord;\n#define coord quad_coord\n");

// L = cloud + transmittance x background made linear; the window gets clamp(exposure L)^gamma_inv. Where
// no splat reached, the background is passed through untouched.
const char* const kCompositeVertex = R"(#version 120
varying vec2 uv;
void main() {
    gl_Position = gl_Vertex;
    uv = gl_Vertex.xy * 0.5 + 0.5;
}
)";
const char* const kCompositeFragment = R"(#version 120
uniform sampler2D background;
uniform sampler2D cloud;
uniform float exposure;
uniform float gamma_inv;
varying vec2 uv;
void main() {
    vec3 b = texture2D(background, uv).rgb;
    vec4 c = texture2D(cloud, uv);
    if (c.a >= 1.0 && c.r == 0.0 && c.g == 0.0 && c.b == 0.0) {
        gl_FragColor = vec4(b, 1.0);
        return;
    }
    vec3 linear_b = pow(clamp(b, 0.0, 1.0), vec3(1.0 / gamma_inv)) / exposure;
    vec3 l = c.rgb + c.a * linear_b;
    gl_FragColor = vec4(pow(clamp(exposure * l, 0.0, 1.0), vec3(gamma_inv)), 1.0);
}
)";

GLuint link(const char* vertex, const char* fragment) {
    const GLuint vs = compile_shader(GL_VERTEX_SHADER, vertex);
    const GLuint fs = compile_shader(GL_FRAGMENT_SHADER, fragment);
    if (vs == 0 || fs == 0) {
        if (vs) glDeleteShader(vs);
        if (fs) glDeleteShader(fs);
        return 0;
    }
    const GLuint p = glCreateProgram();
    glAttachShader(p, vs);
    glAttachShader(p, fs);
    glBindAttribLocation(p, kSplatDepthAttribute, "centre_depth");
    glLinkProgram(p);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = 0;
    glGetProgramiv(p, GL_LINK_STATUS, &ok);
    if (!ok) {
        glDeleteProgram(p);
        return 0;
    }
    return p;
}

void make_target(GLuint texture, int32_t w, int32_t h) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, w, h, 0, GL_RGBA, GL_FLOAT, nullptr);
}

// (Re)makes both targets and their shared depth buffer at w x h; false when the system refuses them.
bool size_targets(PhysicalFrame& f, int32_t w, int32_t h) {
    if (f.background_fbo == 0) {
        glGenFramebuffers(1, &f.background_fbo);
        glGenFramebuffers(1, &f.cloud_fbo);
        glGenTextures(1, &f.background_texture);
        glGenTextures(1, &f.cloud_texture);
        glGenRenderbuffers(1, &f.depth_buffer);
    }
    make_target(f.background_texture, w, h);
    make_target(f.cloud_texture, w, h);
    glBindTexture(GL_TEXTURE_2D, 0);
    glBindRenderbuffer(GL_RENDERBUFFER, f.depth_buffer);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, w, h);
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    bool complete = true;
    const GLuint fbos[2] = {f.background_fbo, f.cloud_fbo};
    const GLuint colours[2] = {f.background_texture, f.cloud_texture};
    for (int i = 0; i < 2; ++i) {
        glBindFramebuffer(GL_FRAMEBUFFER, fbos[i]);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colours[i], 0);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, f.depth_buffer);
        complete = complete && glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    f.width = w;
    f.height = h;
    return complete;
}

// Draws splats first ... last - 1 as camera-facing quads with the physical quad program.
void draw_physical_quads(SplatFrame& splats, const PhysicalFrame& f, const CloudGrid& cloud, Vec3 eye,
                         int32_t first, int32_t last) {
    if (first >= last) return;
    expand_splat_quads(splats, cloud, eye, first, last);
    splats.quad_depths.resize(static_cast<size_t>(splats.quad_count) * 4);
    for (int32_t q = first; q < last; ++q) {
        const float d = splats.splat_depths[static_cast<size_t>(q)];
        std::fill_n(splats.quad_depths.begin() + static_cast<std::ptrdiff_t>(q) * 4, 4, d);
    }
    glUseProgram(f.quad_program);
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glEnableVertexAttribArray(kSplatDepthAttribute);
    glVertexPointer(3, GL_FLOAT, 0, splats.vertices.data());
    glTexCoordPointer(2, GL_FLOAT, 0, splats.texcoords.data());
    glColorPointer(3, GL_FLOAT, 0, splats.colours.data());
    glVertexAttribPointer(kSplatDepthAttribute, 1, GL_FLOAT, GL_FALSE, 0, splats.quad_depths.data());
    glDrawArrays(GL_QUADS, first * 4, (last - first) * 4);
    glDisableVertexAttribArray(kSplatDepthAttribute);
    glPopClientAttrib();
    glUseProgram(0);
}

// Draws the splats into the frame's image and hands it to GL as the cloud target; the background's depths
// (its objects) hide splats as GL's depth test would.
void draw_splats_on_cpu(const SplatFrame& splats, PhysicalFrame& f, const CloudGrid& cloud) {
    SplatView view;
    glGetFloatv(GL_MODELVIEW_MATRIX, view.modelview);
    glGetFloatv(GL_PROJECTION_MATRIX, view.projection);
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    view.width = std::min(viewport[2], f.width);
    view.height = std::min(viewport[3], f.height);
    const float side = 2.0f * cloud.splat_size * cloud.grd_size;
    view.size_scale = side * view.projection[5] * 0.5f * static_cast<float>(viewport[3]);
    view.max_point_size = f.max_point_size;
    const size_t pixels = static_cast<size_t>(view.width) * static_cast<size_t>(view.height);
    if (glIsEnabled(GL_DEPTH_TEST)) {
        f.image.depth.resize(pixels);
        glPixelStorei(GL_PACK_ALIGNMENT, 4);
        glReadPixels(viewport[0], viewport[1], view.width, view.height, GL_DEPTH_COMPONENT, GL_FLOAT,
                     f.image.depth.data());
    } else {
        f.image.depth.clear();
    }
    rasterise_splats(f.image, splats, view);
    glBindTexture(GL_TEXTURE_2D, f.cloud_texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, view.width, view.height, GL_RGBA, GL_FLOAT, f.image.rgba.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    f.cloud_uploaded = view.width == f.width && view.height == f.height;
}

// No radiance, the background seen whole.
void clear_cloud_target(const PhysicalFrame& f) {
    glBindFramebuffer(GL_FRAMEBUFFER, f.cloud_fbo);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

}  // namespace

float display_value(float linear, float exposure, float gamma_inv) {
    const float v = std::min(std::max(exposure * linear, 0.0f), 1.0f);
    return std::pow(v, gamma_inv);
}

float linear_from_display(float display, float exposure, float gamma_inv) {
    const float d = std::min(std::max(display, 0.0f), 1.0f);
    return std::pow(d, 1.0f / gamma_inv) / exposure;
}

bool software_renderer(const char* renderer) {
    if (!renderer) return false;
    for (const char* name : {"llvmpipe", "softpipe", "Software Rasterizer", "swrast", "SWR"})
        if (std::strstr(renderer, name)) return true;
    return false;
}

void create_physical_frame(PhysicalFrame& f, bool allowed, int32_t width, int32_t height,
                           SplatDrawer drawer) {
    f = PhysicalFrame{};
    if (!allowed) return;
    // Float colour targets, framebuffer objects and the shaders all came together in OpenGL 3.0.
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (!version || std::atoi(version) < 3) return;
    f.sprite_program = link(kSpriteVertex, kSpriteFragment);
    f.quad_program = link(kQuadVertex, kQuadFragment);
    f.composite_program = link(kCompositeVertex, kCompositeFragment);
    GLfloat range[2] = {0.0f, 0.0f};
    glGetFloatv(GL_ALIASED_POINT_SIZE_RANGE, range);
    if (f.sprite_program == 0 || f.quad_program == 0 || f.composite_program == 0 || !(range[1] > 1.0f)) {
        for (GLuint p : {f.sprite_program, f.quad_program, f.composite_program})
            if (p) glDeleteProgram(p);
        f = PhysicalFrame{};
        return;
    }
    f.max_point_size = range[1];
    f.sprite_size_scale = glGetUniformLocation(f.sprite_program, "size_scale");
    f.composite_background = glGetUniformLocation(f.composite_program, "background");
    f.composite_cloud = glGetUniformLocation(f.composite_program, "cloud");
    f.composite_exposure = glGetUniformLocation(f.composite_program, "exposure");
    f.composite_gamma = glGetUniformLocation(f.composite_program, "gamma_inv");
    f.usable = size_targets(f, std::max(width, 1), std::max(height, 1));
    f.cpu_splats = drawer == SplatDrawer::cpu ||
                   (drawer == SplatDrawer::automatic &&
                    software_renderer(reinterpret_cast<const char*>(glGetString(GL_RENDERER))));
}

bool physical_frame_active(const PhysicalFrame& f, const CloudGrid& cloud) {
    return f.usable && cloud.shading.physical;
}

void begin_physical_frame(PhysicalFrame& f) {
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    const int32_t w = std::max(viewport[2], 1), h = std::max(viewport[3], 1);
    if ((w != f.width || h != f.height) && !size_targets(f, w, h)) {
        // The system refused targets of the new size: the frame goes on in the classic way.
        f.usable = false;
        return;
    }
    // The program's own splats replace the whole cloud target; it is cleared only if none are drawn.
    f.cloud_uploaded = false;
    if (!f.cpu_splats) clear_cloud_target(f);
    glBindFramebuffer(GL_FRAMEBUFFER, f.background_fbo);
}

void draw_cloud_splats_physical(SplatFrame& splats, PhysicalFrame& f, CloudGrid& cloud, Vec3 eye) {
    // A software renderer starts on the background now, beside the preparation, rather than when the
    // program reads its depths.
    if (f.cpu_splats) glFlush();
    prepare_splats_when_needed(splats, cloud, eye);
    if (f.cpu_splats) {
        draw_splats_on_cpu(splats, f, cloud);
        return;
    }
    if (splats.quad_count <= 0) return;
    glBindFramebuffer(GL_FRAMEBUFFER, f.cloud_fbo);
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_POINT_BIT | GL_VIEWPORT_BIT);
    glDepthMask(GL_FALSE);
    glDisable(GL_TEXTURE_2D);
    // Back to front: radiance = src + (1 - alpha) radiance, transmittance = (1 - alpha) transmittance.
    glBlendFuncSeparate(GL_ONE, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_BLEND);

    GLfloat projection[16];
    GLint viewport[4];
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    const float side = 2.0f * cloud.splat_size * cloud.grd_size;
    const float size_scale = side * projection[5] * 0.5f * static_cast<float>(viewport[3]);
    const float limit = size_scale * kSpriteSizeMargin / f.max_point_size;
    const int32_t sprites = size_scale > 0.0f ? first_splat_nearer_than(splats, eye, limit * limit) : 0;
    if (sprites > 0) {
        widen_viewport_for_sprites(viewport, projection, f.max_point_size);
        glUseProgram(f.sprite_program);
        glUniform1f(f.sprite_size_scale, size_scale);
        glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
        glEnable(GL_POINT_SPRITE);
        glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
        glEnableClientState(GL_VERTEX_ARRAY);
        glEnableClientState(GL_COLOR_ARRAY);
        glEnableVertexAttribArray(kSplatDepthAttribute);
        glVertexPointer(3, GL_FLOAT, 0, splats.centres.data());
        glColorPointer(3, GL_FLOAT, 0, splats.splat_colours.data());
        glVertexAttribPointer(kSplatDepthAttribute, 1, GL_FLOAT, GL_FALSE, 0, splats.splat_depths.data());
        glDrawArrays(GL_POINTS, 0, sprites);
        glDisableVertexAttribArray(kSplatDepthAttribute);
        glPopClientAttrib();
        glUseProgram(0);
        glMatrixMode(GL_PROJECTION);
        glPopMatrix();
        glMatrixMode(GL_MODELVIEW);
        glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
    }
    draw_physical_quads(splats, f, cloud, eye, sprites, splats.quad_count);
    glPopAttrib();
    glDepthMask(GL_TRUE);
}

void finish_physical_frame(const PhysicalFrame& f, const CloudGrid& cloud) {
    if (f.cpu_splats && !f.cloud_uploaded) clear_cloud_target(f);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_TEXTURE_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_FOG);
    glDisable(GL_LIGHTING);
    glDepthMask(GL_FALSE);
    glUseProgram(f.composite_program);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, f.cloud_texture);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, f.background_texture);
    glUniform1i(f.composite_background, 0);
    glUniform1i(f.composite_cloud, 1);
    glUniform1f(f.composite_exposure, cloud.shading.exposure);
    glUniform1f(f.composite_gamma, cloud.gamma_inv);
    glBegin(GL_QUADS);
    glVertex2f(-1.0f, -1.0f);
    glVertex2f(1.0f, -1.0f);
    glVertex2f(1.0f, 1.0f);
    glVertex2f(-1.0f, 1.0f);
    glEnd();
    glUseProgram(0);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, 0);
    glPopAttrib();
    glDepthMask(GL_TRUE);
}
