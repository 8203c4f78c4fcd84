// test_support.h -- scratch folders, files and captured output for the unit tests
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh empty folder under the system temp dir, removed when the object dies.
struct ScratchDir {
    std::string path;
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // path + "/" + name
    std::string file(const std::string& name) const;
};

void write_text_file(const std::string& path, const std::string& text);
void write_binary_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_binary_file(const std::string& path);

// Little-endian appenders for building binary test files by hand.
void put_i32(std::vector<uint8_t>& out, int32_t v);
void put_u16(std::vector<uint8_t>& out, uint16_t v);
void put_f32(std::vector<uint8_t>& out, float v);

// Makes fatal_input_error throw FatalInputError for the lifetime of the object.
struct ThrowOnFatal {
    ThrowOnFatal();
    ~ThrowOnFatal();
};

// Splits text at '\n' (no empty last line).
std::vector<std::string> split_lines(const std::string& text);
