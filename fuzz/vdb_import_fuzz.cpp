// vdb_import_fuzz.cpp -- the baker's -cloud import: an OpenVDB file (or a grid file) read, boxed and resampled
#include "fuzz_support.h"
#include "tools/bake/cloud_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("cloud.vdb", data, size);
    BakeOptions o;
    o.cloud_file = path;
    o.cells_across = 16;  // small enough that resampling stays quick, large enough to reach every path
    o.quiet = true;
    ImportedCloud cloud;
    fuzz_guard([&] { import_cloud(o, cloud); });
    return 0;
}
