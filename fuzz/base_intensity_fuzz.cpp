// base_intensity_fuzz.cpp -- the base intensity table, for grids taken from its own header
#include <cstring>

#include "fuzz_support.h"
#include "illumination/tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("base.tbl", data, size);
    // Sizes that match the header reach the records; the lightning grid is kept to the
    // few thousand cells a real one has, and a small coarse grid is used otherwise.
    int32_t header[2] = {1, 8};
    if (size >= 8) std::memcpy(header, data, sizeof header);
    const int32_t cells = header[0] >= 1 && header[0] <= 4096 ? header[0] : 1;
    const int32_t coarse = header[1] >= 1 && header[1] <= 4096 ? header[1] : 8;
    CloudGrid cloud;
    cloud.dcl_numx = coarse;
    cloud.dcl_numy = 1;
    cloud.dcl_numz = 1;
    BaseIntensityTable table;
    IlluminationWork work;
    fuzz_guard([&] { load_base_intensity(table, work, cloud, cells, 1, 1, path); });
    return 0;
}
