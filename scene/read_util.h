// read_util.h -- small helpers shared by the scene readers: words, lines, file guards
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/file_limits.h"

// Owns an open FILE* and closes it when the reader leaves, also when a fatal input
// error unwinds through it in a test; close() lets a reader close before reporting.
struct ScopedFile {
    FILE* file = nullptr;
    explicit ScopedFile(FILE* f) : file(f) {}
    ~ScopedFile() { close(); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    // Closes the file now; later calls do nothing.
    void close();
};

// Reads one whitespace-delimited word of any length (like "%s" without a width);
// the delimiter stays in the stream. False at end of file, word then unchanged.
bool scan_word(FILE* in, std::string& word);

// Reads one line without its line break (any length); false when nothing is left.
bool read_line(FILE* in, std::string& line);

