// view_file_fuzz.cpp -- the key view file "view.dat"
#include "app/camera.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("view.dat", data, size);
    KeyViews views;
    fuzz_guard([&] { read_key_views(views, path, 30); });
    return 0;
}
