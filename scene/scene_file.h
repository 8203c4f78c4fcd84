// scene_file.h -- the scene file reader: per-reading defaults and the keyword loop
#pragma once

#include <string>

#include "scene/scene.h"

// Keywords are compared as read into a buffer of this many characters (terminator
// included); longer words can never be keywords and are skipped whole.
constexpr int kKeywordBufferSize = 24;

// Reads one scene file into scene: restores the per-reading defaults, then hands each
// keyword's section to its reader until "end"/"END" or the end of the file. Sets
// scene.sky_built when the sky dome geometry was built in this reading (the caller
// then colours it). A missing file is a fatal input error.
void read_scene_file(const std::string& name, Scene& scene);
