// colour_file_fuzz.cpp -- the colour file given with "-col"
#include "app/options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("colour.dat", data, size);
    ColourTable table;
    fuzz_guard([&] { load_colour_table(table, path); });
    return 0;
}
