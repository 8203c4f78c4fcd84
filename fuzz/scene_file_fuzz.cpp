// scene_file_fuzz.cpp -- the scene file with all its sections, read twice into one scene
// as the viewer reads "test.dat" and then the "-f" file, followed by what start-up
// builds from it and one strike under the cloud
#include "app/camera.h"
#include "fuzz_support.h"
#include "lightning/discharge.h"
#include "lightning/lightning_grid.h"
#include "render/sky.h"
#include "scene/scene_file.h"
#include "sound/mixer.h"

extern "C" void fuzz_target_setup() {
    for (const char* name : {"cloud.grd", "town.obj", "ground.bmp", "thunder.wav", "rain.wav"})
        fuzz_copy_example(name);
    fuzz_enter_dir();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("scene.dat", data, size);
    Scene scene;
    LightningState lightning;
    for (int reading = 0; reading < 2; ++reading) {
        const int sections = scene.lightning.sections_read;
        bool read = false;
        fuzz_guard([&] {
            read_scene_file(path, scene);
            read = true;
        });
        if (!read) return 0;  // the viewer would have ended here
        if (scene.sky_built) compute_sky_colours(scene.sky, scene.light, 0.0f);
        if (scene.lightning.sections_read != sections) prepare_discharges(lightning, scene.lightning);
    }
    Camera camera;
    init_view(camera, scene.camera, scene.object_box, scene.cloud, 480, 480);
    LightningGrid grid;
    setup_lightning_grid(grid, scene.lightning, scene.cloud);
    const Box& c = scene.cloud.cloud_box;
    const Vec3 under_cloud{0.5f * (c[0] + c[3]), 0.5f * (c[1] + c[4]), scene.cloud.grd_origin.z};
    generate_discharge(lightning, scene.lightning, 0, under_cloud, camera.eye, scene.objects);
    clear_discharges(lightning, scene.lightning, scene.objects);
    if (!scene.sound_table.empty()) {
        SoundMixer mixer;
        allocate_sound_buffers(mixer, 0.033f, scene.mix_ring_seconds);
    }
    return 0;
}
