// ambient_light_fuzz.cpp -- the ambient table, for a cloud of the coarse sizes its own header names
#include <cstring>

#include "fuzz_support.h"
#include "illumination/ambient_light.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("ambient_light.dat", data, size);
    // Sizes that match the header reach the values and the edge fill; the grid is kept small, with every
    // other fine cell empty so that the fill has cells to fill.
    int32_t header[3] = {2, 1, 1};
    if (size >= 20) std::memcpy(header, data + 8, sizeof header);
    for (int32_t& n : header) n = n >= 1 && n <= 16 ? n : 1;
    CloudGrid cloud;
    cloud.grd_numx = cloud.dcl_numx = header[0];
    cloud.grd_numy = cloud.dcl_numy = header[1];
    cloud.grd_numz = cloud.dcl_numz = header[2];
    cloud.dscl = 1;
    cloud.optical = {1.0f, 0.9f, 0.5f};
    cloud.grd_density.resize(static_cast<size_t>(header[0]) * header[1] * header[2]);
    for (size_t i = 0; i < cloud.grd_density.size(); ++i) cloud.grd_density[i] = static_cast<float>(i % 2);
    AmbientLight ambient;
    fuzz_guard([&] { load_ambient_light(ambient, cloud, path); });
    return 0;
}
