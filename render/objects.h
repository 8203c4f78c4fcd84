// objects.h -- flat lighting of the scene objects by the sun, and their drawing
#pragma once

#include <vector>

#include "scene/scene.h"

// The object transform is applied when drawing only for this transform_kind.
constexpr int32_t kApplyTransform = 101;

// Gives every object whose lit is not 1 one colour per face from the sun and the
// ambient term, written into the face's corners (a shared corner keeps the colour
// of the later face); vertices of no face become black. Sets lit to 1.
void light_objects(std::vector<SceneObject>& objects, const LightSettings& light);
// Draws every face as a polygon with its vertex colours; sends texture coordinates of
// textured objects without binding a texture (GL).
void draw_objects(const std::vector<SceneObject>& objects);
