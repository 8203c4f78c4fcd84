// tables.cpp -- loaders for the attenuation table and the sparse base intensity table
#include "illumination/tables.h"

#include <cstdio>
#include <new>

#include "support/file_limits.h"

// Coefficient blocks are read straight into memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the table files are little-endian");

namespace {

// Progress line of the attenuation table every this many rows.
constexpr int64_t kGenkProgressRows = 1000;
// Bytes of the attenuation table header and of the base intensity header.
constexpr int64_t kHeaderBytes = 12;

// Reads one little-endian int32; false at end of file.
bool read_i32(FILE* f, int32_t& out) {
    unsigned char b[4];
    if (fread(b, 1, 4, f) != 4) return false;
    out = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                               static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
    return true;
}

int64_t coarse_cells(const CloudGrid& cloud) {
    return static_cast<int64_t>(cloud.dcl_numx) * cloud.dcl_numy * cloud.dcl_numz;
}

// Why a base intensity file was refused, for the message.
struct Damage {
    const char* what = nullptr;
    int64_t record = 0;
};

// Reads every record into t (already sized), checking counts, positions and the end of the file, of which
// `left` bytes remain.
Damage read_records(FILE* f, BaseIntensityTable& t, int64_t left, int64_t& stored) {
    const int64_t records = static_cast<int64_t>(t.cell_count) * t.dir_count;
    for (int64_t r = 0; r < records; ++r) {
        int32_t n = 0;
        if (left < 4 || !read_i32(f, n)) return Damage{"end of file at a record count", r};
        left -= 4;
        if (n < 0) return Damage{"negative coefficient count", r};
        const int64_t body = 8 * static_cast<int64_t>(n) + 4;
        if (body > left) return Damage{"end of file inside a record", r};
        if (static_cast<int64_t>(t.index.size()) + n > kMaxBaseIntensityBytes / 8) {
            return Damage{"more coefficients than fit in memory", r};
        }
        const size_t at = t.index.size();
        t.index.resize(at + static_cast<size_t>(n));
        t.value.resize(at + static_cast<size_t>(n));
        if (n > 0 && fread(t.index.data() + at, 4, static_cast<size_t>(n), f) != static_cast<size_t>(n)) {
            return Damage{"end of file inside a record", r};
        }
        if (n > 0 && fread(t.value.data() + at, 4, static_cast<size_t>(n), f) != static_cast<size_t>(n)) {
            return Damage{"end of file inside a record", r};
        }
        float last = 0.0f;
        if (fread(&last, 4, 1, f) != 1) return Damage{"end of file inside a record", r};
        left -= body;
        for (size_t k = at; k < at + static_cast<size_t>(n); ++k) {
            if (t.index[k] < 0 || t.index[k] >= t.coarse_count)
                return Damage{"coefficient position out of range", r};
        }
        t.trailing[static_cast<size_t>(r)] = last;
        t.start[static_cast<size_t>(r) + 1] = static_cast<int64_t>(t.index.size());
        stored += body;
    }
    return Damage{};
}

}  // namespace

void ensure_illumination_work(IlluminationWork& work, int64_t m) {
    if (m <= 0) return;
    for (std::vector<float>& a : work.dcl_work) {
        if (static_cast<int64_t>(a.size()) != m) a.assign(static_cast<size_t>(m), 0.0f);
    }
}

uint8_t genk_byte(const GenkTable& table, int64_t r, int64_t c) {
    if (table.m <= 0 || r < 0 || c < 0 || r >= table.m || c >= table.m) return 255;
    return table.bytes[static_cast<size_t>(r * table.m + c)];
}

bool load_genk_table(GenkTable& table, CloudGrid& cloud, const std::string& name) {
    FILE* f = open_input_file(name.c_str(), "rb");
    if (!f) {
        printf("can't open the file: %s.\n", name.c_str());
        return false;
    }
    int32_t nx = 0, ny = 0, nz = 0;
    if (!read_i32(f, nx) || !read_i32(f, ny) || !read_i32(f, nz)) {
        fclose(f);
        printf("%s: the attenuation table ends inside its header; table not used.\n", name.c_str());
        return false;
    }
    printf("genk_tbl: %d x %d x %d\n", nx, ny, nz);

    // The sizes are checked before anything is written, so a refused table leaves the earlier one and the
    // coarse grid exactly as they were.
    const int64_t m = nx > 0 && ny > 0 && nz > 0 ? size_product(nx, ny, nz) : 0;
    const int64_t cloud_m = coarse_cells(cloud);
    if (nx <= 0 || ny <= 0 || nz <= 0) {
        printf("%s: the attenuation table sizes must be positive; table not used.\n", name.c_str());
        fclose(f);
        return false;
    } else if (m > kMaxGenkBytes) {
        printf("%s: the attenuation table sizes %d x %d x %d are far more than fit in memory; table not used.\n",
               name.c_str(), nx, ny, nz);
        fclose(f);
        return false;
    } else if (m > kMaxGenkBytes / m) {
        printf(
            "%s: the attenuation table needs %lld x %lld bytes, more than fit in memory; table not used.\n",
            name.c_str(), static_cast<long long>(m), static_cast<long long>(m));
        fclose(f);
        return false;
    } else if (cloud_m > 0 && (nx != cloud.dcl_numx || ny != cloud.dcl_numy || nz != cloud.dcl_numz)) {
        printf(
            "%s: the attenuation table is for %lld coarse cells (%d x %d x %d), the cloud has %lld "
            "(%d x %d x %d); table not used.\n",
            name.c_str(), static_cast<long long>(m), nx, ny, nz, static_cast<long long>(cloud_m),
            cloud.dcl_numx, cloud.dcl_numy, cloud.dcl_numz);
        fclose(f);
        return false;
    } else if (table.m > 0 && m != table.m) {
        printf(
            "%s: the attenuation table is for %lld coarse cells, the table in use has %lld; table not "
            "used.\n",
            name.c_str(), static_cast<long long>(m), static_cast<long long>(table.m));
        fclose(f);
        return false;
    } else {
        const int64_t left = remaining_bytes(f);
        if (left < m * m) {
            printf("%s: the attenuation table is short (%lld of %lld bytes of rows); table not used.\n",
                   name.c_str(), static_cast<long long>(left < 0 ? 0 : left), static_cast<long long>(m * m));
            fclose(f);
            return false;
        }
    }
    if (table.bytes.empty()) {
        try {
            table.bytes.assign(static_cast<size_t>(m * m), 0);
        } catch (const std::bad_alloc&) {
            printf("%s: no memory for the %lld-byte attenuation table; table not used.\n", name.c_str(),
                   static_cast<long long>(m * m));
            fclose(f);
            return false;
        }
        // Row bytes plus one pointer's worth per row, as the table was first sized; whole MiB.
        printf("g_tbl size: %lld MB\n", static_cast<long long>((m * (m + 4)) >> 20));
    }
    printf("reading genk_tbl...\n");
    for (int64_t r = 0; r < m; ++r) {
        if (r % kGenkProgressRows == 0)
            printf(" --- %lld/%lld ---\n", static_cast<long long>(r), static_cast<long long>(m));
        uint8_t* row = table.bytes.data() + r * m;
        const size_t got = fread(row, 1, static_cast<size_t>(m), f);
        if (got != static_cast<size_t>(m)) {
            // The size was checked, so only a read error lands here: what was not read is taken as opaque.
            printf("%s: read error in row %lld; the rest of the attenuation table is zero.\n", name.c_str(),
                   static_cast<long long>(r));
            for (uint8_t* p = row + got; p < table.bytes.data() + m * m; ++p) *p = 0;
            break;
        }
    }
    fclose(f);
    table.numx = nx;
    table.numy = ny;
    table.numz = nz;
    table.m = m;
    cloud.dcl_numx = nx;
    cloud.dcl_numy = ny;
    cloud.dcl_numz = nz;
    return true;
}

bool load_base_intensity(BaseIntensityTable& table, IlluminationWork& work, const CloudGrid& cloud,
                         int32_t lgrid_nx, int32_t lgrid_ny, int32_t lgrid_nz, const std::string& name) {
    FILE* f = open_input_file(name.c_str(), "rb");
    if (!f) {
        printf("can't open the file: %s.\n", name.c_str());
        return false;
    }
    // Whatever happens below, an earlier table is gone: a run has one base intensity table or none.
    table = BaseIntensityTable{};
    const int64_t n_l = static_cast<int64_t>(lgrid_nx) * lgrid_ny * lgrid_nz;
    const int64_t m = coarse_cells(cloud);
    int32_t header[3] = {0, 0, 0};
    bool header_ok = read_i32(f, header[0]);
    printf("%d, %d, %d, %d\n", static_cast<int32_t>(n_l), lgrid_nx, lgrid_ny, lgrid_nz);
    if (header_ok && header[0] == n_l)
        header_ok = read_i32(f, header[1]) && header[1] == m;
    else
        header_ok = false;
    if (header_ok) header_ok = read_i32(f, header[2]) && header[2] == kDirCount;
    if (!header_ok) {
        printf("different base intensity!\n");
        fclose(f);
        return false;
    }
    if (n_l <= 0 || m <= 0) {
        printf(
            "%s: there is no lightning grid or no coarse grid to light; no lightning light in the cloud.\n",
            name.c_str());
        fclose(f);
        return false;
    }
    ensure_illumination_work(work, m);

    BaseIntensityTable t;
    t.cell_count = static_cast<int32_t>(n_l);
    t.coarse_count = static_cast<int32_t>(m);
    t.dir_count = kDirCount;
    const int64_t records = n_l * kDirCount;
    printf("Reading base intensity data..\n");
    // Every record holds at least its count and its trailing value; a file too short for
    // that must not size the per-record arrays (which the grid alone could make large).
    const int64_t left = remaining_bytes(f);
    if (left < 0 || left / 8 < records || !fits_in_memory(static_cast<uint64_t>(records + 1) * 12)) {
        fclose(f);
        printf(
            "%s: damaged base intensity table (%lld bytes cannot hold %lld records); no lightning light in "
            "the cloud.\n",
            name.c_str(), static_cast<long long>(left < 0 ? 0 : left), static_cast<long long>(records));
        return false;
    }
    t.start.assign(static_cast<size_t>(records) + 1, 0);
    t.trailing.assign(static_cast<size_t>(records), 0.0f);
    int64_t stored = kHeaderBytes;
    Damage damage;
    try {
        damage = read_records(f, t, left, stored);
    } catch (const std::bad_alloc&) {
        damage = Damage{"more coefficients than fit in memory", 0};
    }
    fclose(f);
    if (damage.what) {
        printf(
            "%s: damaged base intensity table (%s, lightning cell %lld, direction %lld); no lightning light "
            "in "
            "the cloud.\n",
            name.c_str(), damage.what, static_cast<long long>(damage.record / kDirCount),
            static_cast<long long>(damage.record % kDirCount));
        return false;
    }
    // The dense size is what the same table would take with every coefficient listed.
    const int64_t full = kHeaderBytes + n_l * (8 * m + 4) * kDirCount;
    printf("   size: %lld [MB] / %lld [MB]\n", static_cast<long long>(stored / 1024 / 1024),
           static_cast<long long>(full / 1024 / 1024));
    t.loaded = true;
    table = std::move(t);
    return true;
}
