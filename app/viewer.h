// viewer.h -- the records of the running viewer that the window callbacks work on
#pragma once

#include <vector>

#include "app/camera.h"
#include "app/strike_thunder.h"
#include "illumination/ambient_light.h"
#include "illumination/tables.h"
#include "lightning/glow.h"
#include "lightning/lightning_grid.h"
#include "render/cloud_splats.h"
#include "render/physical_frame.h"
#include "render/textures.h"
#include "sound/thunder_voice.h"

// What start-up and window set-up build from the scene and the tables.
struct Viewer {
    Camera camera;
    KeyViews key_views;
    GenkTable genk;
    BaseIntensityTable base_intensity;
    IlluminationWork illumination_work;
    AmbientLight ambient;               // sun and sky light of a physical scene, when it has the table
    std::vector<Vec3> lightning_light;  // the relight's own field when ambient light is added beneath it
    LightningGrid lightning_grid;
    GlowState glow;
    RenderTextures textures;
    SplatFrame splats;
    PhysicalFrame physical;  // float targets and shaders of physical shading, when the system has them
    std::vector<ThunderVoice*> voices;  // one per discharge record, for the sound timer
    StrikeThunder thunder;              // each strike's own thunder, when the scene asks for it
    std::vector<Vec3> flash_field;      // the cloud's light of the flash's first stroke, scaled per frame
};

extern Viewer viewer;

// Loads "genk.tbl", then "basic_intensity_cmp.dat" and, for a physical scene, the ambient table against
// the scene in force.
void load_viewer_tables();
