// fuzz_support.h -- what every reader fuzz target shares: a scratch file for the input,
// fatal input errors turned into exceptions, and a memory limit below libFuzzer's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/fatal.h"

// Readers may not claim more than this for one file, so a header asking for gigabytes
// is refused like one beyond the machine instead of tripping the fuzzer's malloc limit.
constexpr uint64_t kFuzzMemoryBytes = uint64_t{256} << 20;

// The shared LLVMFuzzerInitialize installs the throwing fatal handler and the lowered
// memory limit and creates the scratch folder (under $TMPDIR or /tmp, removed at exit);
// then it calls this, where a target defines it, for the target's own preparations.
extern "C" void fuzz_target_setup() __attribute__((weak));

// The scratch folder, with a trailing slash.
const std::string& fuzz_dir();

// Writes the bytes to fuzz_dir() + name and returns the full path.
std::string fuzz_write_file(const std::string& name, const uint8_t* data, size_t size);

// Copies a file of the example scene (by bare name) into the scratch folder, so scene
// files that name it find it there. False when the example cannot be read.
bool fuzz_copy_example(const std::string& name);

// Makes the scratch folder the working folder, where scene files look for the files
// they name. Corpus and artifact paths given to the fuzzer must then be absolute.
void fuzz_enter_dir();

// A read-only stream over a text, for section readers that take a FILE*.
FILE* fuzz_text_stream(const std::string& text);

// Runs the reader, treating a fatal input error as a refused input.
template <typename F>
void fuzz_guard(F&& reader) {
    try {
        reader();
    } catch (const FatalInputError&) {
    }
}
