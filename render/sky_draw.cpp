// sky_draw.cpp -- draws the coloured sky dome
#include <GL/gl.h>

#include "render/sky.h"

// The dome stays centred on the world origin, not on the eye; it is scaled by
// sky_level so that it encloses the scene. It is added onto the cleared
// background rather than painted over it: the background is black between
// strikes, so the dome looks the same, and during a strike the flash colour of
// the clear shows through the whole sky instead of only where no dome is.
// The dome is background: it neither tests nor writes depth, so a dome smaller
// than the scene never hides the objects, channels, glow or cloud drawn after it.
void draw_sky_dome(const SkySettings& sky) {
    const int n = static_cast<int>(sky.sky_vertices.size());
    glPushAttrib(GL_CURRENT_BIT | GL_ENABLE_BIT | GL_TRANSFORM_BIT | GL_COLOR_BUFFER_BIT |
                 GL_DEPTH_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDisable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glScalef(sky.sky_level, sky.sky_level, sky.sky_level);
    glBegin(GL_QUADS);
    for (const SkyQuad& q : sky.sky_quads) {
        bool complete = true;
        for (int32_t c : q.corner) complete = complete && c >= 0 && c < n;
        if (!complete) continue;  // a quad must send four corners or the batch falls out of step
        for (int32_t c : q.corner) {
            const SkyVertex& v = sky.sky_vertices[static_cast<size_t>(c)];
            glColor3f(v.colour.x, v.colour.y, v.colour.z);
            glVertex3f(v.position.x, v.position.y, v.position.z);
        }
    }
    glEnd();
    glPopMatrix();
    glPopAttrib();
}
