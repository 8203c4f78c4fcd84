// vdb_import_fuzz.cpp -- the baker's -cloud import of an OpenVDB file: grids of any content, shape and
// transform, written by OpenVDB's own writer from the input bytes, then read, boxed and resampled
//
// The input is a recipe, not the file: OpenVDB's reader trusts the length fields of a damaged file (a few
// bytes can ask it for gigabytes), which is the library's to guard, so this target gives our import every
// grid a well-formed file can hold instead: stray voxels, tiles, NaN and negative values, level sets, odd
// names, rotated and sheared transforms, the export's metadata with any values.
#include <openvdb/io/File.h>
#include <openvdb/openvdb.h>

#include <cmath>
#include <cstring>

#include "fuzz_support.h"
#include "tools/bake/import/cloud_import.h"

namespace {

// Reads the recipe's bytes in order; past the end every read gives 0.
struct Recipe {
    const uint8_t* data;
    size_t size, at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    int16_t i16() { return static_cast<int16_t>(byte() | byte() << 8); }
    float f32() {
        uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(byte()) << (8 * i);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    bool more() const { return at < size; }
};

// Largest number of voxel and tile records taken from one input.
constexpr int kMaxRecords = 4000;

}  // namespace

extern "C" void fuzz_target_setup() { openvdb::initialize(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Recipe r{data, size};
    auto grid = openvdb::FloatGrid::create(r.byte() % 7 == 0 ? r.f32() : 0.0f);
    const uint8_t names = r.byte();
    grid->setName(names % 3 == 0 ? "density" : names % 3 == 1 ? "smoke" : "");
    grid->setGridClass(names % 11 == 0 ? openvdb::GRID_LEVEL_SET : openvdb::GRID_FOG_VOLUME);
    const double voxel = 0.01 + r.byte() * 0.5;
    openvdb::math::Transform::Ptr xf = openvdb::math::Transform::createLinearTransform(voxel);
    const uint8_t shape = r.byte();
    if (shape & 1) xf->postRotate(0.1 + r.byte() * 0.02, openvdb::math::Z_AXIS);
    if (shape & 2) xf->postShear(r.byte() * 0.01, openvdb::math::X_AXIS, openvdb::math::Z_AXIS);
    if (shape & 4) xf->postScale(openvdb::Vec3d(1.0, 1.0 + r.byte() * 0.05, 1.0));
    if (shape & 8) xf->postTranslate(openvdb::Vec3d(r.i16(), r.i16(), r.i16()));
    grid->setTransform(xf);
    if (shape & 16) {
        grid->insertMeta("vintrel_byte_step", openvdb::FloatMetadata(r.f32()));
        grid->insertMeta("vintrel_grid_size",
                         openvdb::Vec3IMetadata(openvdb::Vec3i(r.byte() - 8, r.byte(), r.byte() % 70)));
    }
    auto acc = grid->getAccessor();
    for (int n = 0; n < kMaxRecords && r.more(); ++n) {
        const uint8_t op = r.byte();
        const openvdb::Coord c(r.i16() % 3000, r.i16() % 3000, r.i16() % 3000);
        const float v = (op & 0x80) ? r.f32() : static_cast<float>(op & 0x3F) / 16.0f;
        switch (op % 8) {
            case 6:
                grid->tree().addTile(1 + op / 8 % 2, c, v, true);
                acc.clear();  // the tile may replace nodes the accessor holds
                break;
            case 7:
                acc.setValueOff(c, v);
                break;
            default: {
                // A small block, so a few records make a cloud and not only scattered voxels.
                const int side = 1 + op % 4;
                for (int k = 0; k < side; ++k)
                    for (int j = 0; j < side; ++j)
                        for (int i = 0; i < side; ++i) acc.setValue(c.offsetBy(i, j, k), v);
            }
        }
    }
    const std::string path = fuzz_dir() + "cloud.vdb";
    {
        openvdb::io::File file(path);
        file.setGridStatsMetadataEnabled(shape & 32);
        file.write({grid});
        file.close();
    }
    BakeOptions o;
    o.cloud_file = path;
    o.cells_across = 16;  // small enough that resampling stays quick, large enough to reach every path
    if (shape & 64) o.height_m = 50.0 + names * 100.0;
    o.quiet = true;
    ImportedCloud cloud;
    fuzz_guard([&] { import_cloud(o, cloud); });
    std::remove(path.c_str());
    return 0;
}
