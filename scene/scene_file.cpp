// scene_file.cpp -- the scene file reader: per-reading defaults and the keyword loop
#include "scene/scene_file.h"

#include <cstdio>
#include <cstring>

#include "scene/cloud.h"
#include "scene/objects.h"
#include "scene/read_util.h"
#include "scene/sections.h"
#include "scene/textures.h"
#include "support/fatal.h"

namespace {

using SectionReader = void (*)(FILE*, Scene&);

struct Keyword {
    const char* lower;
    const char* upper;
    SectionReader reader;  // nullptr for "end"
};

// Checked in this order; each keyword has exactly its all-lower and all-upper form.
const Keyword kKeywords[] = {
    {"camera", "CAMERA", read_camera_section},
    {"cloud", "CLOUD", read_cloud_section},
    {"lightning", "LIGHTNING", read_lightning_section},
    {"fog", "FOG", read_fog_section},
    {"light", "LIGHT", read_light_section},
    {"object", "OBJECT", read_object_section},
    {"sky", "SKY", read_sky_section},
    {"bmp", "BMP", read_bmp_section},
    {"texture", "TEXTURE", read_texture_section},
    {"wave", "WAVE", read_wave_section},
    {"thunder", "THUNDER", read_thunder_section},
    {"flash", "FLASH", read_flash_section},
    {"shading", "SHADING", read_shading_section},
    {"end", "END", nullptr},
};

// The settings that every reading starts from; everything else carries over.
void restore_reading_defaults(Scene& scene) {
    scene.sky.sky_level = -1.0f;
    scene.sky.sky_segments = -1;
    scene.sky.sky_rings = -1;
    scene.fog = FogSettings{};
    scene.objects.clear();
    scene.textures.clear();
    scene.sky_built = false;
}

}  // namespace

void read_scene_file(const std::string& name, Scene& scene) {
    ScopedFile in(open_input_file(name.c_str(), "r"));
    if (!in.file) fatal_input_error("can't open the file:%s\n", name.c_str());

    restore_reading_defaults(scene);

    std::string word;
    bool ended = false;
    while (!ended && scan_word(in.file, word)) {
        if (word.size() >= static_cast<size_t>(kKeywordBufferSize)) continue;
        for (const Keyword& k : kKeywords) {
            if (word != k.lower && word != k.upper) continue;
            if (k.reader)
                k.reader(in.file, scene);
            else
                ended = true;
            break;
        }
    }
    in.close();
    if (!ended) std::printf("*** %s has no \"end\"; reading stopped at the end of the file\n", name.c_str());

    if (scene.sky.sky_segments >= 0) {
        build_sky_dome(scene.sky);
        scene.sky_built = true;
    }
}
