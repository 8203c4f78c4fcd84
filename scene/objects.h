// objects.h -- the object section: object files, placement commands, normals and bounds
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "scene/scene.h"

// Most object files one object section may list (NUM_OBJ_FILE).
constexpr int32_t kMaxObjectFiles = 100;

// Object section: a count of object files, then their names. Reads every file's
// objects into scene.objects (replacing the list), applies each file's placement
// commands to its own objects, then computes normals, bounds and scene.object_box.
void read_object_section(FILE* in, Scene& scene);

// Applies one placement command ("MOVE", "SCALE"/"SCAL", "XREV", "YREV", "ZREV"; any
// other word does nothing) to the vertices of objects first .. last (0-based,
// inclusive). p holds p1 .. p6: centre or offset, then factors or the angle in degrees.
void apply_placement(std::vector<SceneObject>& objects, const std::string& word, int32_t first, int32_t last,
                     const std::array<float, 6>& p);

// Sets every face's unit normal and plane offset from its corners; a face whose first
// three corners are collinear takes its normal from corners 0, 1 and 3.
void compute_face_normals(std::vector<SceneObject>& objects);

// Sets every object's box, centre and radius, and box to the bounds of all vertices.
void compute_object_bounds(std::vector<SceneObject>& objects, Box& box);
