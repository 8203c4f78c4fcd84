// objects_draw.cpp -- issues the objects' polygons with their cached vertex colours
#include <GL/gl.h>

#include "render/objects.h"

namespace {

// Texture coordinate of a face corner; a corner without one (or with a reference
// past the object's list) sends (0, 0) so every vertex of the polygon gets one.
void send_texcoord(const SceneObject& o, int32_t ref) {
    if (ref >= 0 && static_cast<size_t>(ref) < o.texcoords.size()) {
        const std::array<float, 2>& st = o.texcoords[static_cast<size_t>(ref)];
        glTexCoord2f(st[0], st[1]);
    } else {
        glTexCoord2f(0.0f, 0.0f);
    }
}

}  // namespace

// Texturing stays off: the coordinates of textured objects are sent but do not
// change the picture.
void draw_objects(const std::vector<SceneObject>& objects) {
    glPushAttrib(GL_CURRENT_BIT | GL_ENABLE_BIT | GL_TRANSFORM_BIT);
    glDisable(GL_TEXTURE_2D);
    glMatrixMode(GL_MODELVIEW);
    for (const SceneObject& o : objects) {
        glPushMatrix();
        if (o.transform_kind == kApplyTransform) glMultMatrixf(o.transform.data());
        glColor3f(o.colour.x, o.colour.y, o.colour.z);
        const size_t nv = o.vertices.size();
        for (const ObjectFace& f : o.faces) {
            if (f.corner[0] < 0 || static_cast<size_t>(f.corner[0]) >= nv) continue;
            glBegin(GL_POLYGON);
            for (size_t i = 0; i < f.corner.size(); ++i) {
                const int32_t ref = f.corner[i];
                if (ref < 0 || static_cast<size_t>(ref) >= nv) continue;
                const ObjectVertex& v = o.vertices[static_cast<size_t>(ref)];
                glColor3f(v.colour.x, v.colour.y, v.colour.z);
                if (o.textured == 1) send_texcoord(o, f.corner_texcoord[i]);
                glVertex3f(v.position.x, v.position.y, v.position.z);
            }
            glEnd();
        }
        glPopMatrix();
    }
    glPopAttrib();
}
