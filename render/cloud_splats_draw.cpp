// cloud_splats_draw.cpp -- drawing the prepared cloud splats with emission-absorption blending
#include <GL/gl.h>

#include "render/cloud_splats.h"

void draw_cloud_splats(SplatFrame& frame, const RenderTextures& textures, CloudGrid& cloud, Vec3 eye) {
    if (splats_need_preparing(frame, cloud, eye)) {
        prepare_cloud_splats(frame, cloud, eye);
        frame.prepared = true;
        frame.light_changed = false;
        frame.prepared_eye = eye;
        frame.prepared_blobs = cloud.blobs.size();
    }
    if (frame.quad_count <= 0) return;
    // Each splat adds its colour times the footprint and lets exp(-extinction g) of what lies behind through.
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_TEXTURE_BIT);
    glDepthMask(GL_FALSE);
    glBindTexture(GL_TEXTURE_2D, textures.splat_texture);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glEnable(GL_TEXTURE_2D);
    glBlendFunc(GL_ONE, GL_SRC_ALPHA);
    glEnable(GL_BLEND);
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, frame.vertices.data());
    glTexCoordPointer(2, GL_FLOAT, 0, frame.texcoords.data());
    glColorPointer(3, GL_FLOAT, 0, frame.colours.data());
    glDrawArrays(GL_QUADS, 0, frame.quad_count * 4);
    glPopClientAttrib();
    glPopAttrib();
    glDepthMask(GL_TRUE);
}
