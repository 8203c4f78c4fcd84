// wave_fuzz.cpp -- a wave file loaded into a sound, twice through one reader
#include "fuzz_support.h"
#include "sound/wave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("thunder.wav", data, size);
    WaveReader reader;
    Sound first, second;
    second.gain = 0.5f;
    load_sound(path.c_str(), first, reader);
    load_sound(path.c_str(), second, reader);
    return 0;
}
