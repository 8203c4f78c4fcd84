// bmp.cpp -- reading uncompressed 24-bit BMP images into the image record
#include "scene/bmp.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "scene/read_util.h"
#include "support/fatal.h"

namespace {

constexpr int kFileHeaderBytes = 14;
constexpr int kInfoHeaderBytes = 40;
constexpr int kHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;  // 54
// Longest side accepted, in pixels: four times what graphics cards take as a texture,
// and small enough that every size computed below fits 64 bits.
constexpr int64_t kMaxBmpSide = 65536;

uint32_t get_u32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t get_u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

void read_bmp(BmpImage& image, const std::string& name) {
    ScopedFile in(open_input_file(name.c_str(), "rb"));
    if (!in.file) fatal_input_error("can't open the file %s.\n", name.c_str());

    unsigned char h[kHeaderBytes];
    if (std::fread(h, 1, sizeof h, in.file) != sizeof h) {
        in.close();
        fatal_input_error("bitmap %s: shorter than the %d header bytes\n", name.c_str(), kHeaderBytes);
    }
    if (h[0] != 'B' || h[1] != 'M') {
        in.close();
        fatal_input_error("bitmap %s: not a BMP file (no \"BM\" at the start)\n", name.c_str());
    }
    const uint32_t pixel_offset = get_u32(h + 10);
    const uint32_t info_size = get_u32(h + 14);
    const int32_t width = static_cast<int32_t>(get_u32(h + 18));
    const int32_t height_field = static_cast<int32_t>(get_u32(h + 22));
    const uint16_t bits = get_u16(h + 28);
    const uint32_t compression = get_u32(h + 30);
    if (bits != 24) {
        in.close();
        fatal_input_error("bitmap %s: %d bits per pixel; only 24-bit images are read\n", name.c_str(), bits);
    }
    if (compression != 0) {
        in.close();
        fatal_input_error("bitmap %s: compressed (method %u); only uncompressed images are read\n",
                          name.c_str(), compression);
    }
    if (info_size < kInfoHeaderBytes || pixel_offset < kFileHeaderBytes + info_size) {
        in.close();
        fatal_input_error("bitmap %s: header size %u or pixel data offset %u is impossible\n", name.c_str(),
                          info_size, pixel_offset);
    }
    // A negative height marks a top-down file; the record always holds rows bottom-up.
    const bool top_down = height_field < 0;
    const int64_t height = top_down ? -int64_t{height_field} : int64_t{height_field};
    if (width < 1 || height < 1 || width > kMaxBmpSide || height > kMaxBmpSide) {
        in.close();
        fatal_input_error("bitmap %s: size %d x %d is outside 1 .. %lld pixels a side\n", name.c_str(), width,
                          height_field, static_cast<long long>(kMaxBmpSide));
    }
    // Each row is padded to a multiple of four bytes in the file.
    const int64_t row_bytes = int64_t{width} * 3;
    const int64_t stride = (row_bytes + 3) / 4 * 4;
    if (std::fseek(in.file, static_cast<long>(pixel_offset), SEEK_SET) != 0) {
        in.close();
        fatal_input_error("bitmap %s: cannot reach the pixel data at offset %u\n", name.c_str(),
                          pixel_offset);
    }
    // The last row needs no padding after it; some writers leave it out.
    const int64_t needed = stride * (height - 1) + row_bytes;
    const int64_t left = remaining_bytes(in.file);
    if ((left >= 0 && left < needed) || !fits_in_memory(static_cast<uint64_t>(needed) * 2)) {
        in.close();
        fatal_input_error("bitmap %s: %lld bytes of pixel data, %d x %lld pixels need %lld\n", name.c_str(),
                          static_cast<long long>(left), width, static_cast<long long>(height),
                          static_cast<long long>(needed));
    }

    image.name = name;
    image.width = width;
    image.height = static_cast<int32_t>(height);
    image.x0 = 0;
    image.x1 = width - 1;
    image.y1 = image.height - 1;
    image.y0 = 0;
    image.pixels.assign(static_cast<size_t>(row_bytes * height), 0);

    std::vector<unsigned char> row(static_cast<size_t>(stride));
    for (int64_t r = 0; r < height; ++r) {
        const size_t want = static_cast<size_t>(r + 1 < height ? stride : row_bytes);
        if (std::fread(row.data(), 1, want, in.file) != want) {
            in.close();
            fatal_input_error("bitmap %s: pixel data ends in row %lld\n", name.c_str(),
                              static_cast<long long>(r));
        }
        const int64_t dst_row = top_down ? height - 1 - r : r;
        unsigned char* dst = image.pixels.data() + dst_row * row_bytes;
        for (int64_t x = 0; x < width; ++x) {
            // The file stores B, G, R; the record holds R, G, B.
            dst[3 * x + 0] = row[static_cast<size_t>(3 * x + 2)];
            dst[3 * x + 1] = row[static_cast<size_t>(3 * x + 1)];
            dst[3 * x + 2] = row[static_cast<size_t>(3 * x + 0)];
        }
    }
}
