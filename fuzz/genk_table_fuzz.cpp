// genk_table_fuzz.cpp -- the attenuation table, loaded with no cloud and then again over the first load
#include "fuzz_support.h"
#include "illumination/tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("genk.tbl", data, size);
    CloudGrid cloud;
    GenkTable table;
    fuzz_guard([&] {
        load_genk_table(table, cloud, path);
        load_genk_table(table, cloud, path);
    });
    return 0;
}
