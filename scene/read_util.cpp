// read_util.cpp -- small helpers shared by the scene readers: words, lines, file guards
#include "scene/read_util.h"

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
