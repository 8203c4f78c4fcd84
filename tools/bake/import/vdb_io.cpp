// vdb_io.cpp -- reading a density grid from an OpenVDB file and writing a cloud as one
#include "tools/bake/import/vdb_io.h"

#include <openvdb/io/File.h>
#include <openvdb/openvdb.h>
#include <openvdb/tools/ChangeBackground.h>
#include <openvdb/tools/Interpolation.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <new>
#include <tuple>

#include "support/file_limits.h"

struct VdbGridHandle {
    openvdb::FloatGrid::Ptr grid;
};

namespace {

// Grid metadata that lets a re-import rebuild an exported grid byte for byte.
constexpr const char* kByteStepMeta = "vintrel_byte_step";
constexpr const char* kGridSizeMeta = "vintrel_grid_size";
constexpr const char* kDefaultGridName = "density";

void initialise_once() {
    // Registers the grid types; safe to call repeatedly, but only needed once.
    static const bool done = [] {
        openvdb::initialize();
        return true;
    }();
    (void)done;
}

std::string describe(const openvdb::GridBase& g) { return "'" + g.getName() + "' (" + g.valueType() + ")"; }

std::string grid_list(const openvdb::GridPtrVec& grids) {
    std::string s;
    for (const auto& g : grids) s += (s.empty() ? "" : ", ") + describe(*g);
    return s.empty() ? "none" : s;
}

bool is_float_grid(const openvdb::GridBase& g) { return g.isType<openvdb::FloatGrid>(); }

// The grid the user meant, or an empty name with the reason in `error`.
std::string choose_grid(const std::string& path, const openvdb::GridPtrVec& grids, const std::string& wanted,
                        std::string& error) {
    if (!wanted.empty()) {
        for (const auto& g : grids) {
            if (g->getName() != wanted) continue;
            if (!is_float_grid(*g)) {
                error = path + ": grid '" + wanted + "' holds " + g->valueType() +
                        " values, not float densities; its grids: " + grid_list(grids);
                return "";
            }
            return wanted;
        }
        error = path + " has no grid named '" + wanted + "'; its grids: " + grid_list(grids);
        return "";
    }
    for (const auto& g : grids) {
        if (g->getName() == kDefaultGridName && is_float_grid(*g)) return kDefaultGridName;
    }
    for (const auto& g : grids) {
        if (is_float_grid(*g)) return g->getName();
    }
    error = path + " holds no float grid to take densities from; its grids: " + grid_list(grids);
    return "";
}

std::string too_large(const std::string& path, const std::string& grid, double bytes) {
    char mb[32];
    std::snprintf(mb, sizeof mb, "%.0f", bytes / (1024.0 * 1024.0));
    return path + ": grid '" + grid + "' takes " + mb +
           " MB once loaded, more than half of this machine's memory";
}

// Memory a float tree's nodes take once every leaf's values are loaded.
double loaded_tree_bytes(const openvdb::FloatTree& tree) {
    using Tree = openvdb::FloatTree;
    using Upper = Tree::RootNodeType::ChildNodeType;
    using Lower = Upper::ChildNodeType;
    using Leaf = Tree::LeafNodeType;
    const std::vector<openvdb::Index32> nodes = tree.nodeCount();  // leaves first, then upwards
    double bytes = static_cast<double>(tree.leafCount()) * (sizeof(Leaf) + Leaf::SIZE * sizeof(float));
    if (nodes.size() > 1) bytes += static_cast<double>(nodes[1]) * sizeof(Lower);
    if (nodes.size() > 2) bytes += static_cast<double>(nodes[2]) * sizeof(Upper);
    return bytes;
}

// The world box of an index box (voxel bounds, inclusive, widened by half a voxel): the box of its
// corners, so a rotated or sheared transform still gets a box that holds every voxel.
void index_box_to_world(const openvdb::math::Transform& xf, openvdb::Vec3d lo, openvdb::Vec3d hi,
                        double low[3], double high[3]) {
    for (int k = 0; k < 3; ++k) {
        low[k] = HUGE_VAL;
        high[k] = -HUGE_VAL;
    }
    for (int c = 0; c < 8; ++c) {
        const openvdb::Vec3d corner((c & 1) ? hi.x() : lo.x(), (c & 2) ? hi.y() : lo.y(),
                                    (c & 4) ? hi.z() : lo.z());
        const openvdb::Vec3d w = xf.indexToWorld(corner);
        for (int k = 0; k < 3; ++k) {
            low[k] = std::min(low[k], w[k]);
            high[k] = std::max(high[k], w[k]);
        }
    }
}

// Mass of the density per layer along one index axis: leaves add their layers, tiles (values above the
// leaf level) their whole span at once, so a huge tile costs one entry, not one per layer.
struct AxisMass {
    std::map<int64_t, double> layer;
    std::vector<std::tuple<int64_t, int64_t, double>> spans;  // first and last layer, mass
    double total = 0.0;
};

// The first and last layer of the density's main body along one axis: the layers are grouped into runs
// apart from each other by empty layers, and runs at either end are left out while together they hold no
// more than `cut` of the mass. False when that leaves something out.
bool main_body(const AxisMass& m, double cut, int64_t& first, int64_t& last) {
    std::vector<std::tuple<int64_t, int64_t, double>> runs = m.spans;
    for (const auto& [c, mass] : m.layer) runs.emplace_back(c, c, mass);
    std::sort(runs.begin(), runs.end());
    std::vector<std::tuple<int64_t, int64_t, double>> merged;
    for (const auto& r : runs) {
        if (!merged.empty() && std::get<0>(r) <= std::get<1>(merged.back()) + 1) {
            std::get<1>(merged.back()) = std::max(std::get<1>(merged.back()), std::get<1>(r));
            std::get<2>(merged.back()) += std::get<2>(r);
        } else {
            merged.push_back(r);
        }
    }
    const double allowed = cut * m.total;
    size_t lo = 0, hi = merged.size();
    double dropped = 0.0;
    // Strays are dropped from whichever end holds the lighter run, as long as the allowance lasts.
    while (hi - lo > 1) {
        const double low_mass = std::get<2>(merged[lo]), high_mass = std::get<2>(merged[hi - 1]);
        const bool low_side = low_mass <= high_mass;
        const double mass = low_side ? low_mass : high_mass;
        if (dropped + mass > allowed) break;
        dropped += mass;
        if (low_side) {
            ++lo;
        } else {
            --hi;
        }
    }
    first = std::get<0>(merged[lo]);
    last = std::get<1>(merged[hi - 1]);
    return lo > 0 || hi < merged.size();
}

std::string read_grid(const std::string& path, const std::string& wanted, VdbDensity& out) {
    openvdb::io::File file(path);
    // Delayed loading: readGrid reads the tree's structure and leaves the leaves' values in the file until
    // they are touched, so the size the grid takes once loaded is checked before any value is expanded.
    file.open(true);
    const openvdb::GridPtrVecPtr heads = file.readAllGridMetadata();
    out.grids.clear();
    for (const auto& g : *heads) out.grids.push_back(describe(*g));
    std::string error;
    out.grid_name = choose_grid(path, *heads, wanted, error);
    if (!error.empty()) return error;
    for (const auto& g : *heads) {
        if (g->getName() != out.grid_name) continue;
        // The size the writer recorded, when it did.
        const auto recorded = g->getMetadata<openvdb::Int64Metadata>(openvdb::GridBase::META_FILE_MEM_BYTES);
        if (recorded && (recorded->value() < 0 || !fits_in_memory(static_cast<uint64_t>(recorded->value()))))
            return too_large(path, out.grid_name, static_cast<double>(recorded->value()));
        break;
    }
    openvdb::FloatGrid::Ptr grid = openvdb::gridPtrCast<openvdb::FloatGrid>(file.readGrid(out.grid_name));
    file.close();
    if (!grid) return path + ": grid '" + out.grid_name + "' could not be read";
    // The size its structure implies, whatever the metadata said.
    const double loaded = loaded_tree_bytes(grid->tree());
    if (!(loaded < 1.0e18) || !fits_in_memory(static_cast<uint64_t>(loaded)))
        return too_large(path, out.grid_name, loaded);
    if (grid->getGridClass() == openvdb::GRID_LEVEL_SET) {
        return path + ": grid '" + out.grid_name +
               "' is a level set (distances to a surface), not densities; convert it to a fog volume first";
    }

    // Clean the active values: a density is finite and not negative.
    out.non_finite = out.negative = 0;
    float max_value = 0.0f;
    for (auto it = grid->beginValueOn(); it; ++it) {
        const float v = *it;
        const int64_t voxels = static_cast<int64_t>(it.getVoxelCount());
        if (!std::isfinite(v)) {
            out.non_finite += voxels;
            it.setValue(0.0f);
        } else if (v < 0.0f) {
            out.negative += voxels;
            it.setValue(0.0f);
        } else if (v > max_value) {
            max_value = v;
        }
    }
    // Inactive voxels are outside the cloud whatever the file's background says.
    if (grid->background() != 0.0f) openvdb::tools::changeBackground(grid->tree(), 0.0f);
    out.max_value = max_value;
    out.active_voxels = static_cast<int64_t>(grid->activeVoxelCount());
    if (out.active_voxels == 0) return path + ": grid '" + out.grid_name + "' is empty (no active voxels)";
    if (!(max_value > 0.0f)) return path + ": grid '" + out.grid_name + "' holds no density above 0";

    const openvdb::math::Transform& xf = grid->transform();
    const openvdb::Vec3d voxel = xf.voxelSize();
    for (int k = 0; k < 3; ++k) out.voxel_size[k] = voxel[k];
    openvdb::Vec3d lo(0.0), hi(0.0);
    out.byte_step = 0.0f;
    const auto step = grid->getMetadata<openvdb::FloatMetadata>(kByteStepMeta);
    const auto size = grid->getMetadata<openvdb::Vec3IMetadata>(kGridSizeMeta);
    if (step && size && step->value() > 0.0f && size->value().x() > 0 && size->value().y() > 0 &&
        size->value().z() > 0) {
        out.byte_step = step->value();
        for (int k = 0; k < 3; ++k) out.grid_size[k] = size->value()[k];
        lo = openvdb::Vec3d(-0.5);
        hi = openvdb::Vec3d(size->value().x(), size->value().y(), size->value().z()) - openvdb::Vec3d(0.5);
    } else {
        // The box of the density's main body rather than of every active voxel: a stray voxel far off
        // would otherwise stretch the box and leave the cloud a small part of it.
        AxisMass axis[3];
        for (auto leaf = grid->tree().cbeginLeaf(); leaf; ++leaf) {
            double layer[3][openvdb::FloatTree::LeafNodeType::DIM] = {};
            const openvdb::Coord origin = leaf->origin();
            for (auto v = leaf->cbeginValueOn(); v; ++v) {
                if (!(*v > 0.0f)) continue;
                const openvdb::Coord c = v.getCoord() - origin;
                for (int k = 0; k < 3; ++k) layer[k][c[k]] += *v;
            }
            for (int k = 0; k < 3; ++k) {
                for (int i = 0; i < static_cast<int>(openvdb::FloatTree::LeafNodeType::DIM); ++i) {
                    if (!(layer[k][i] > 0.0)) continue;
                    axis[k].layer[int64_t{origin[k]} + i] += layer[k][i];
                    axis[k].total += layer[k][i];
                }
            }
        }
        auto tile = grid->tree().cbeginValueOn();
        tile.setMaxDepth(openvdb::FloatTree::ValueOnCIter::LEAF_DEPTH - 1);
        for (; tile; ++tile) {
            if (!(*tile > 0.0f)) continue;
            openvdb::CoordBBox b;
            tile.getBoundingBox(b);
            const double mass = static_cast<double>(*tile) * static_cast<double>(tile.getVoxelCount());
            for (int k = 0; k < 3; ++k) {
                axis[k].spans.emplace_back(b.min()[k], b.max()[k], mass);
                axis[k].total += mass;
            }
        }
        for (int k = 0; k < 3; ++k) {
            int64_t first = 0, last = 0;
            out.box_trimmed = main_body(axis[k], kStrayMassCut, first, last) || out.box_trimmed;
            lo[k] = static_cast<double>(first) - 0.5;
            hi[k] = static_cast<double>(last) + 0.5;
        }
    }
    index_box_to_world(xf, lo, hi, out.world_low, out.world_high);
    auto handle = std::make_shared<VdbGridHandle>();
    handle->grid = grid;
    out.grid = handle;
    return "";
}

}  // namespace

std::string read_vdb_density(const std::string& path, const std::string& wanted, VdbDensity& out) {
    out = VdbDensity{};
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return "no file " + path;
    const uint64_t bytes = std::filesystem::file_size(path, ec);
    // A grid takes at least as much memory as its compressed file.
    if (!ec && !fits_in_memory(bytes)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.0f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
        return path + " is " + buf + "; its grid would need more than half of this machine's memory";
    }
    initialise_once();
    try {
        return read_grid(path, wanted, out);
    } catch (const std::bad_alloc&) {
        out.grid.reset();
        return path + ": out of memory while reading the grid";
    } catch (const std::exception& e) {
        out.grid.reset();
        return path + " cannot be read as an OpenVDB file: " + e.what();
    }
}

DensitySampler vdb_density_sampler(const VdbDensity& density) {
    // The accessor caches nodes, so each sampler owns one; the sampler keeps the grid alive.
    struct State {
        std::shared_ptr<const VdbGridHandle> handle;
        openvdb::FloatGrid::ConstAccessor accessor;
        openvdb::tools::GridSampler<openvdb::FloatGrid::ConstAccessor, openvdb::tools::BoxSampler> sampler;
        explicit State(std::shared_ptr<const VdbGridHandle> h)
            : handle(std::move(h)),
              accessor(handle->grid->getConstAccessor()),
              sampler(accessor, handle->grid->transform()) {}
    };
    auto state = std::make_shared<State>(density.grid);
    return [state](double x, double y, double z) { return state->sampler.wsSample(openvdb::Vec3d(x, y, z)); };
}

std::string write_vdb_density(const std::string& path, const std::string& name, const int32_t size[3],
                              const std::vector<float>& density, double cell_size, const double low[3],
                              float byte_step) {
    initialise_once();
    const std::string temp = path + ".part";
    try {
        openvdb::FloatGrid::Ptr grid = openvdb::FloatGrid::create(0.0f);
        grid->setName(name);
        grid->setGridClass(openvdb::GRID_FOG_VOLUME);
        // Index coordinates are voxel centres: voxel (0, 0, 0) spans low .. low + cell_size.
        openvdb::math::Transform::Ptr xf = openvdb::math::Transform::createLinearTransform(cell_size);
        xf->postTranslate(
            openvdb::Vec3d(low[0] + 0.5 * cell_size, low[1] + 0.5 * cell_size, low[2] + 0.5 * cell_size));
        grid->setTransform(xf);
        openvdb::FloatGrid::Accessor acc = grid->getAccessor();
        size_t i = 0;
        for (int32_t z = 0; z < size[2]; ++z) {
            for (int32_t y = 0; y < size[1]; ++y) {
                for (int32_t x = 0; x < size[0]; ++x, ++i) {
                    if (density[i] != 0.0f) acc.setValue(openvdb::Coord(x, y, z), density[i]);
                }
            }
        }
        grid->insertMeta(kByteStepMeta, openvdb::FloatMetadata(byte_step));
        grid->insertMeta(kGridSizeMeta, openvdb::Vec3IMetadata(openvdb::Vec3i(size[0], size[1], size[2])));
        openvdb::io::File file(temp);
        file.write({grid});
        file.close();
    } catch (const std::exception& e) {
        std::remove(temp.c_str());
        return "cannot write " + path + ": " + e.what();
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return "cannot write " + path;
    }
    return "";
}
