// object_file_fuzz.cpp -- an object file, listed twice by one object section
#include "fuzz_support.h"
#include "scene/objects.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("town.obj", data, size);
    Scene scene;
    FILE* in = fuzz_text_stream("2\n" + path + "\n" + path + "\n");
    fuzz_guard([&] { read_object_section(in, scene); });
    std::fclose(in);
    return 0;
}
