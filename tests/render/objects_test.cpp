// objects_test.cpp -- flat lighting of the objects by the sun
#include "render/objects.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ObjectFace face(std::array<int32_t, 4> corners, Vec3 normal) {
    ObjectFace f;
    f.corner = corners;
    f.normal = normal;
    return f;
}

// An object of `vertices` vertices (coloured (5, 5, 5) beforehand) and the given faces.
SceneObject object(int vertices, std::vector<ObjectFace> faces, Vec3 colour = Vec3{0.5f, 1.0f, 1.0f}) {
    SceneObject o;
    o.colour = colour;
    for (int i = 0; i < vertices; ++i)
        o.vertices.push_back(ObjectVertex{Vec3{static_cast<float>(i), 0, 0}, Vec3{5, 5, 5}});
    o.faces = std::move(faces);
    o.vertex_count = vertices;
    o.face_count = static_cast<int32_t>(o.faces.size());
    return o;
}

// Sun straight overhead, coloured so that every channel of the base colour differs.
LightSettings overhead_sun() {
    LightSettings l;
    l.sun_dir = Vec3{0, 0, 1};
    l.sun_colour = Vec3{1.0f, 0.5f, 0.25f};
    l.ambient = 0.2f;
    return l;
}

void expect_colour(Vec3 got, Vec3 want) {
    EXPECT_FLOAT_EQ(got.x, want.x);
    EXPECT_FLOAT_EQ(got.y, want.y);
    EXPECT_FLOAT_EQ(got.z, want.z);
}

}  // namespace

TEST(ObjectLighting, FacesByAngleToSun) {
    // Away from the sun, edge-on, at 60 degrees (d = 0.5) and facing it.
    std::vector<SceneObject> objects{
        object(12, {face({0, 1, 2, kNoCorner}, Vec3{0, 0, -1}), face({3, 4, 5, kNoCorner}, Vec3{1, 0, 0}),
                    face({6, 7, 8, kNoCorner}, Vec3{0.8660254f, 0, 0.5f}),
                    face({9, 10, 11, kNoCorner}, Vec3{0, 0, 1})})};
    light_objects(objects, overhead_sun());
    const Vec3 base{0.5f, 0.5f, 0.25f};
    const SceneObject& o = objects[0];
    expect_colour(o.vertices[0].colour, scale(base, 0.2f));
    expect_colour(o.vertices[2].colour, scale(base, 0.2f));
    expect_colour(o.vertices[4].colour, scale(base, 0.2f));
    expect_colour(o.vertices[7].colour, scale(base, 0.7f));
    // Facing the sun: ambient plus one, not clamped to 1.
    expect_colour(o.vertices[11].colour, scale(base, 1.2f));
    EXPECT_EQ(o.lit, 1);
}

TEST(ObjectLighting, SharedCornerTakesLaterFace) {
    // Vertex 1 and 2 belong to both faces; vertex 4 to none; corner 3 of face 1 is empty.
    std::vector<SceneObject> objects{
        object(5, {face({0, 1, 2, kNoCorner}, Vec3{0, 0, 1}), face({1, 2, kNoCorner, 3}, Vec3{0, 0, -1})})};
    light_objects(objects, overhead_sun());
    const Vec3 base{0.5f, 0.5f, 0.25f};
    const SceneObject& o = objects[0];
    expect_colour(o.vertices[0].colour, scale(base, 1.2f));
    expect_colour(o.vertices[1].colour, scale(base, 0.2f));
    expect_colour(o.vertices[2].colour, scale(base, 0.2f));
    expect_colour(o.vertices[3].colour, scale(base, 0.2f));
    // A vertex of no face is cleared to black.
    expect_colour(o.vertices[4].colour, Vec3{});
}

TEST(ObjectLighting, OnlyObjectsNotLit) {
    std::vector<SceneObject> objects{object(3, {face({0, 1, 2, kNoCorner}, Vec3{0, 0, 1})}),
                                     object(3, {face({0, 1, 2, kNoCorner}, Vec3{0, 0, 1})}),
                                     object(3, {face({0, 1, 2, kNoCorner}, Vec3{0, 0, 1})})};
    objects[0].lit = 1;  // already lit, with a flash added since
    objects[2].lit = 7;  // any value but 1 asks for lighting
    light_objects(objects, overhead_sun());
    expect_colour(objects[0].vertices[0].colour, Vec3{5, 5, 5});
    expect_colour(objects[1].vertices[0].colour, Vec3{0.6f, 0.6f, 0.3f});
    expect_colour(objects[2].vertices[1].colour, Vec3{0.6f, 0.6f, 0.3f});
    EXPECT_EQ(objects[2].lit, 1);

    // An empty list is fine.
    std::vector<SceneObject> none;
    light_objects(none, overhead_sun());
}

TEST(ObjectLighting, NormalTurnedByTransform) {
    // A quarter turn about +x (column-major) takes the +y normal to +z, facing the sun,
    // whatever transform_kind says about drawing.
    SceneObject o = object(4, {face({0, 1, 2, 3}, Vec3{0, 1, 0})}, Vec3{1, 1, 1});
    o.transform = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};
    // The same turn read row-major would take +y to -z instead.
    SceneObject flipped = o;
    flipped.faces[0].normal = Vec3{0, -1, 0};
    std::vector<SceneObject> objects{o, flipped};
    LightSettings l = overhead_sun();
    l.sun_colour = Vec3{1, 1, 1};
    light_objects(objects, l);
    expect_colour(objects[0].vertices[3].colour, Vec3{1.2f, 1.2f, 1.2f});
    expect_colour(objects[1].vertices[3].colour, Vec3{0.2f, 0.2f, 0.2f});
}
