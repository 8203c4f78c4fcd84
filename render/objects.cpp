// objects.cpp -- flat per-face lighting of the objects, cached in their vertex colours
#include "render/objects.h"

namespace {

bool is_corner(const SceneObject& o, int32_t ref) {
    return ref >= 0 && static_cast<size_t>(ref) < o.vertices.size();
}

// The rotation part of a column-major 4 x 4 matrix applied to a direction.
Vec3 rotate_normal(const std::array<float, 16>& m, Vec3 n) {
    return Vec3{m[0] * n.x + m[4] * n.y + m[8] * n.z, m[1] * n.x + m[5] * n.y + m[9] * n.z,
                m[2] * n.x + m[6] * n.y + m[10] * n.z};
}

}  // namespace

void light_objects(std::vector<SceneObject>& objects, const LightSettings& light) {
    for (SceneObject& o : objects) {
        if (o.lit == 1) continue;  // keeps the flash colours added since the last relight
        for (ObjectVertex& v : o.vertices) v.colour = Vec3{};
        const Vec3 base = mul(o.colour, light.sun_colour);
        for (const ObjectFace& f : o.faces) {
            const Vec3 n = rotate_normal(o.transform, f.normal);
            const float d = dot(light.sun_dir, n);
            // Faces turned away from the sun, or edge-on, get the ambient term alone.
            const float k = d > 0.0f ? light.ambient + d : light.ambient;
            const Vec3 c = scale(base, k);
            for (int32_t ref : f.corner)
                if (is_corner(o, ref)) o.vertices[static_cast<size_t>(ref)].colour = c;
        }
        o.lit = 1;
    }
}
