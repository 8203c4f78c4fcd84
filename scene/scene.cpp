// scene.cpp -- the process-wide scene state
#include "scene/scene.h"

Scene scene_state;

void reset_scene(Scene& scene) { scene = Scene{}; }
