// grid_file_fuzz.cpp -- the cloud grid file, then a cloud section that uses it
#include "fuzz_support.h"
#include "scene/cloud.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("cloud.grd", data, size);
    CloudGrid grid;
    fuzz_guard([&] { read_grid_file(path, grid); });
    // The section builds densities, blobs and the coarse grid from whatever the file held;
    // the dscl comes from the first byte so odd and oversized scales are reached too.
    const int dscl = size > 0 ? data[0] % 20 : 4;
    Scene scene;
    FILE* in = fuzz_text_stream(path + " 0.05\n2 -16 -16 48\n0.1 0.9 0\n1.5 3.5 1\n" + std::to_string(dscl) +
                                "\n1 1\n");
    fuzz_guard([&] { read_cloud_section(in, scene); });
    std::fclose(in);
    return 0;
}
