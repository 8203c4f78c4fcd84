// fuzz_support.cpp -- scratch files, the throwing fatal handler and the memory limit for the fuzz targets
#include "fuzz_support.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "support/fatal.h"
#include "support/file_limits.h"

#ifndef VINTREL_EXAMPLES_DIR
#define VINTREL_EXAMPLES_DIR "examples"
#endif

namespace {

std::string scratch;
std::vector<std::string> written;

void remove_scratch() {
    for (const std::string& path : written) std::remove(path.c_str());
    if (!scratch.empty()) rmdir(scratch.c_str());
}

bool write_all(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_fatal_handler(throw_fatal_handler);
    reader_limits.memory_bytes = kFuzzMemoryBytes;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vintrel-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::perror("vintrel fuzz: cannot make a scratch folder");
        std::exit(1);
    }
    scratch = std::string(buf.data()) + "/";
    std::atexit(remove_scratch);
    if (fuzz_target_setup) fuzz_target_setup();
    return 0;
}

const std::string& fuzz_dir() { return scratch; }

std::string fuzz_write_file(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratch + name;
    bool known = false;
    for (const std::string& p : written) known = known || p == path;
    if (!known) written.push_back(path);
    if (!write_all(path, data, size)) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return path;
}

bool fuzz_copy_example(const std::string& name) {
    FILE* f = std::fopen((std::string(VINTREL_EXAMPLES_DIR) + "/" + name).c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    fuzz_write_file(name, bytes.data(), bytes.size());
    return true;
}

void fuzz_enter_dir() {
    if (chdir(scratch.c_str()) != 0) {
        std::perror(scratch.c_str());
        std::exit(1);
    }
}

FILE* fuzz_text_stream(const std::string& text) {
    // fmemopen keeps a pointer to the buffer, so each stream gets its own copy.
    static std::string held;
    held = text;
    return fmemopen(held.data(), held.size(), "r");
}
