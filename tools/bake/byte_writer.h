// byte_writer.h -- little-endian byte buffers and whole-file writing for the bake tool
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Appends values in little-endian order, the byte order of every file the viewer reads.
struct ByteWriter {
    std::vector<uint8_t> bytes;
    // Appends one unsigned byte.
    void u8(uint8_t v) { bytes.push_back(v); }
    // Appends a 16-bit unsigned value.
    void u16(uint16_t v);
    // Appends a 32-bit signed value.
    void i32(int32_t v);
    // Appends a 32-bit float as its IEEE bit pattern.
    void f32(float v);
    // Appends raw bytes.
    void raw(const void* data, size_t size);
};

// printf into a string, of any length: the bake's text files are built from such lines.
std::string format_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes bytes to path through a temporary file renamed when complete; false when it cannot be written
// (the final name is then untouched).
bool write_file_bytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Writes text to path (truncating); false when the file cannot be written.
bool write_file_text(const std::string& path, const std::string& text);
