// read_util.cpp -- small helpers shared by the scene readers: words, lines, file guards, size limits
#include "scene/read_util.h"

#include <unistd.h>

#include <cctype>

void ScopedFile::close() {
    if (file) std::fclose(file);
    file = nullptr;
}

bool scan_word(FILE* in, std::string& word) {
    int c = std::getc(in);
    while (c != EOF && std::isspace(c)) c = std::getc(in);
    if (c == EOF) return false;
    std::string got;
    while (c != EOF && !std::isspace(c)) {
        got.push_back(static_cast<char>(c));
        c = std::getc(in);
    }
    if (c != EOF) std::ungetc(c, in);
    word = got;
    return true;
}

bool read_line(FILE* in, std::string& line) {
    line.clear();
    int c = std::getc(in);
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
        c = std::getc(in);
    }
    return true;
}

int64_t remaining_bytes(FILE* in) {
    long here = std::ftell(in);
    if (here < 0 || std::fseek(in, 0, SEEK_END) != 0) return -1;
    long end = std::ftell(in);
    if (std::fseek(in, here, SEEK_SET) != 0 || end < here) return -1;
    return static_cast<int64_t>(end) - here;
}

bool fits_in_memory(uint64_t bytes) {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    // Without an answer from the system, fall back to a limit every desktop meets.
    uint64_t physical = (pages > 0 && page_size > 0)
                            ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size)
                            : (uint64_t{4} << 30);
    return bytes <= physical / 2;
}
