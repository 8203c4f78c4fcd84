// byte_writer.cpp -- little-endian byte buffers and whole-file writing for the bake tool
#include "tools/bake/byte_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void ByteWriter::u16(uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
}

void ByteWriter::i32(int32_t v) {
    // One insert per value rather than one push per byte: tables run to hundreds of megabytes.
    const uint32_t u = static_cast<uint32_t>(v);
    const uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                          static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    bytes.insert(bytes.end(), b, b + 4);
}

void ByteWriter::f32(float v) {
    uint32_t u = 0;
    std::memcpy(&u, &v, sizeof u);
    i32(static_cast<int32_t>(u));
}

void ByteWriter::raw(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
}

bool write_file_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    // Written under a temporary name and renamed when whole, so a failed or interrupted write never
    // leaves a half-written file under the final name (the viewer would read it as damaged).
    const std::string temp = path + ".part";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return false;
    const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
    const bool closed = std::fclose(f) == 0;
    if (written != bytes.size() || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool write_file_text(const std::string& path, const std::string& text) {
    return write_file_bytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string format_text(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}
