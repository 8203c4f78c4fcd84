// scene_file_fuzz.cpp -- the scene file with all its sections, read twice into one scene
// as the viewer reads "test.dat" and then the "-f" file
#include "fuzz_support.h"
#include "scene/scene_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_init();
    for (const char* name : {"cloud.grd", "town.obj", "ground.bmp", "thunder.wav", "rain.wav"})
        fuzz_copy_example(name);
    fuzz_enter_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("scene.dat", data, size);
    Scene scene;
    for (int reading = 0; reading < 2; ++reading) fuzz_guard([&] { read_scene_file(path, scene); });
    return 0;
}
