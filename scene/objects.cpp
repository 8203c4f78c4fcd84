// objects.cpp -- the object section: object files, placement commands, normals and bounds
#include "scene/objects.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "scene/read_util.h"
#include "support/fatal.h"

namespace {

constexpr float kDegToRad = kPi / 180.0f;
constexpr float kCollinearLength = 1e-7f;  // cross product length below which corners count as collinear
constexpr float kSceneBoxStart = 1e13f;
constexpr float kObjectBoxStart = 1e11f;

// One object file read line by line, each line scanned on its own, with the line
// number kept for messages. Every count in the file is bounded by its length, since
// each counted item needs a line of its own.
struct ObjectFile {
    std::string name;
    ScopedFile file{nullptr};
    int64_t size = 0;
    int line_no = 0;
    std::string line;

    bool open() {
        file.file = open_input_file(name.c_str(), "r");
        if (!file.file) return false;
        size = remaining_bytes(file.file);
        return true;
    }
    bool next() {
        if (!read_line(file.file, line)) return false;
        ++line_no;
        return true;
    }
    // The next line of an object's data; a file that ends here is damaged.
    const char* need(int object) {
        if (!next()) fail("ends at line %d inside object %d\n", line_no + 1, object);
        return line.c_str();
    }
    bool count_fits(int64_t n) const { return n >= 0 && (size < 0 || n - 1 <= size); }
    // Closes the file and reports what is wrong with it, naming the file.
    [[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

void ObjectFile::fail(const char* format, ...) {
    file.close();
    char what[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    fatal_input_error("object file %s: %s", name.c_str(), what);
}

// Reads a first-line object count: 0 for a file that does not give one.
int32_t read_object_count(ObjectFile& f) {
    int32_t n = 0;
    if (f.next()) std::sscanf(f.line.c_str(), "%d", &n);
    return n;
}

// A 1-based reference as read: a number <= 0 leaves the corner empty, a number above
// the count is a damaged file.
int32_t to_reference(ObjectFile& f, int32_t number, int32_t count, const char* what) {
    if (number > count)
        f.fail("line %d refers to %s %d, but the object has only %d\n", f.line_no, what, number, count);
    return number - 1 < 0 ? kNoCorner : number - 1;
}

void read_object(ObjectFile& f, int object, SceneObject& o) {
    o.transform_kind = 100;
    o.texture_index = -1;
    o.lit = 0;
    o.textured = 0;
    o.transform = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    const char* line = f.need(object);
    int32_t v_count = 0, f_count = 0;
    std::vector<char> word(f.line.size() + 1, '\0');
    std::sscanf(line, "%d%d%f%f%f%s", &v_count, &f_count, &o.colour.x, &o.colour.y, &o.colour.z, word.data());
    // A line without its word is a plain object.
    o.textured = std::strcmp(word.data(), "textured") == 0 ? 1 : 0;
    if (!f.count_fits(v_count) || !f.count_fits(f_count))
        f.fail("line %d gives impossible vertex or face counts for object %d\n", f.line_no, object);
    o.vertex_count = v_count;
    o.face_count = f_count;
    o.vertices.assign(static_cast<size_t>(v_count), ObjectVertex{});
    o.faces.assign(static_cast<size_t>(f_count), ObjectFace{});

    for (ObjectVertex& v : o.vertices)
        std::sscanf(f.need(object), "%f%f%f", &v.position.x, &v.position.y, &v.position.z);
    for (ObjectFace& face : o.faces) {
        int32_t n[4] = {0, 0, 0, 0};
        std::sscanf(f.need(object), "%d%d%d%d", &n[0], &n[1], &n[2], &n[3]);
        if (n[2] == n[3]) n[3] = 0;  // a triangle repeats its third corner
        for (int c = 0; c < 4; ++c) face.corner[c] = to_reference(f, n[c], v_count, "vertex");
    }
    if (!o.textured) return;

    int32_t t_count = 0;
    std::sscanf(f.need(object), "%d%d", &t_count, &o.texture_index);
    if (!f.count_fits(t_count))
        f.fail("line %d gives an impossible texture coordinate count for object %d\n", f.line_no, object);
    o.texcoord_count = t_count;
    o.texcoords.assign(static_cast<size_t>(t_count), std::array<float, 2>{0.0f, 0.0f});
    for (auto& st : o.texcoords) std::sscanf(f.need(object), "%f%f", &st[0], &st[1]);
    for (ObjectFace& face : o.faces) {
        int32_t n[4] = {0, 0, 0, 0};
        std::sscanf(f.need(object), "%d%d%d%d", &n[0], &n[1], &n[2], &n[3]);
        for (int c = 0; c < 4; ++c)
            face.corner_texcoord[c] = to_reference(f, n[c], t_count, "texture coordinate");
    }
}

// Placement commands up to "END" or the end of the file, for the file's objects
// base .. base + count - 1. Values that do not scan keep the previous line's.
void read_commands(ObjectFile& f, std::vector<SceneObject>& objects, int32_t base, int32_t count) {
    int32_t first = 0, last = 0;
    std::array<float, 6> p{};
    while (f.next()) {
        std::vector<char> word(f.line.size() + 1, '\0');
        int got = std::sscanf(f.line.c_str(), "%s%d%d%f%f%f%f%f%f", word.data(), &first, &last, &p[0], &p[1],
                              &p[2], &p[3], &p[4], &p[5]);
        if (got < 1) continue;  // a blank line
        if (std::strcmp(word.data(), "END") == 0) return;
        if (last < first) continue;
        if (first < 1 || last > count) {
            std::printf("*** object file %s line %d: objects %d .. %d are outside 1 .. %d; command skipped\n",
                        f.name.c_str(), f.line_no, first, last, count);
            continue;
        }
        apply_placement(objects, word.data(), base + first - 1, base + last - 1, p);
    }
}

}  // namespace

void read_object_section(FILE* in, Scene& scene) {
    int32_t file_count = 0;
    std::fscanf(in, "%d", &file_count);
    if (file_count > kMaxObjectFiles)
        fatal_input_error_stdout("set NUM_OBJ_FILE > %d in render\n", file_count);
    if (file_count < 0) {
        std::printf("*** object file count %d is negative; object section ignored\n", file_count);
        return;
    }

    // First pass: the names and how many objects each file holds.
    std::vector<std::string> names;
    std::vector<int32_t> counts;
    int64_t total = 0;
    std::string name;
    for (int32_t i = 0; i < file_count && scan_word(in, name); ++i) {
        ObjectFile f;
        f.name = name;
        if (!f.open()) fatal_input_error("Can't open the file: %s\n", name.c_str());
        int32_t n = read_object_count(f);
        if (n < 0) {
            std::printf("*** object file %s gives a negative object count %d; file skipped\n", name.c_str(),
                        n);
            n = 0;
        } else if (!f.count_fits(n)) {
            f.fail("line %d gives %d objects, more than the file can hold\n", 1, n);
        }
        names.push_back(name);
        counts.push_back(n);
        total += n;
    }
    if (!fits_in_memory(static_cast<uint64_t>(total) * sizeof(SceneObject)))
        fatal_input_error("object section: %lld objects need more memory than this machine has\n",
                          static_cast<long long>(total));
    std::vector<SceneObject> objects(static_cast<size_t>(total));

    // Second pass: the objects themselves, then each file's placement commands.
    int32_t base = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        ObjectFile f;
        f.name = names[i];
        if (!f.open()) {
            std::printf("can't open the file %s.", names[i].c_str());
            break;
        }
        const int32_t n = counts[i];
        int32_t again = read_object_count(f);
        if (n == 0 && again < 0) continue;  // reported in the first pass
        if (again != n) f.fail("changed while it was read (line %d: %d objects)\n", 1, again);
        for (int32_t m = 0; m < n; ++m) read_object(f, m + 1, objects[static_cast<size_t>(base + m)]);
        read_commands(f, objects, base, n);
        base += n;
    }

    scene.objects.swap(objects);
    compute_face_normals(scene.objects);
    compute_object_bounds(scene.objects, scene.object_box);
}

void apply_placement(std::vector<SceneObject>& objects, const std::string& word, int32_t first, int32_t last,
                     const std::array<float, 6>& p) {
    if (last < first || first < 0 || static_cast<size_t>(last) >= objects.size()) return;
    enum { kMove, kScale, kZrev, kXrev, kYrev } kind;
    if (word == "MOVE")
        kind = kMove;
    else if (word == "SCALE" || word == "SCAL")
        kind = kScale;
    else if (word == "ZREV")
        kind = kZrev;
    else if (word == "XREV")
        kind = kXrev;
    else if (word == "YREV")
        kind = kYrev;
    else
        return;

    const Vec3 c{p[0], p[1], p[2]};
    const float theta = p[3] * kDegToRad;
    const float cs = std::cos(theta), sn = std::sin(theta);
    for (int32_t o = first; o <= last; ++o) {
        for (ObjectVertex& vert : objects[static_cast<size_t>(o)].vertices) {
            Vec3& v = vert.position;
            const float dx = v.x - c.x, dy = v.y - c.y, dz = v.z - c.z;
            switch (kind) {
                case kMove:
                    v = Vec3{v.x + p[0], v.y + p[1], v.z + p[2]};
                    break;
                case kScale:
                    v = Vec3{c.x + p[3] * dx, c.y + p[4] * dy, c.z + p[5] * dz};
                    break;
                case kZrev:
                    v.x = c.x + cs * dx - sn * dy;
                    v.y = c.y + cs * dy + sn * dx;
                    break;
                case kXrev:
                    v.y = c.y + cs * dy - sn * dz;
                    v.z = c.z + cs * dz + sn * dy;
                    break;
                case kYrev:
                    v.x = c.x + cs * dx - sn * dz;
                    v.z = c.z + cs * dz + sn * dx;
                    break;
            }
        }
    }
}

void compute_face_normals(std::vector<SceneObject>& objects) {
    for (SceneObject& o : objects) {
        for (ObjectFace& face : o.faces) {
            // Empty corners are left out, so P0 .. P3 are the face's corners in order.
            Vec3 p[4];
            int present = 0;
            for (int32_t ref : face.corner)
                if (ref >= 0 && static_cast<size_t>(ref) < o.vertices.size())
                    p[present++] = o.vertices[static_cast<size_t>(ref)].position;
            if (present < 3) continue;
            Vec3 n = cross(sub(p[2], p[0]), sub(p[1], p[0]));
            float len = length(n);
            if (len < kCollinearLength && present == 4) {
                n = cross(sub(p[3], p[0]), sub(p[1], p[0]));
                len = length(n);
            }
            // A face without area keeps a zero normal rather than one of NaNs.
            face.normal = len > 0.0f ? scale(n, 1.0f / len) : Vec3{};
            face.plane_offset = -dot(p[0], face.normal);
        }
    }
}

void compute_object_bounds(std::vector<SceneObject>& objects, Box& box) {
    box = Box{kSceneBoxStart,  kSceneBoxStart,  kSceneBoxStart,
              -kSceneBoxStart, -kSceneBoxStart, -kSceneBoxStart};
    for (SceneObject& o : objects) {
        o.box_min = Vec3{kObjectBoxStart, kObjectBoxStart, kObjectBoxStart};
        o.box_max = Vec3{-kObjectBoxStart, -kObjectBoxStart, -kObjectBoxStart};
        for (const ObjectVertex& v : o.vertices) {
            const Vec3& q = v.position;
            o.box_min =
                Vec3{std::fmin(o.box_min.x, q.x), std::fmin(o.box_min.y, q.y), std::fmin(o.box_min.z, q.z)};
            o.box_max =
                Vec3{std::fmax(o.box_max.x, q.x), std::fmax(o.box_max.y, q.y), std::fmax(o.box_max.z, q.z)};
            box[0] = std::fmin(box[0], q.x);
            box[1] = std::fmin(box[1], q.y);
            box[2] = std::fmin(box[2], q.z);
            box[3] = std::fmax(box[3], q.x);
            box[4] = std::fmax(box[4], q.y);
            box[5] = std::fmax(box[5], q.z);
        }
        o.centre = scale(add(o.box_min, o.box_max), 0.5f);
        // An object without vertices gets radius 0 instead of the root of a negative number.
        float largest = 0.0f;
        for (const ObjectVertex& v : o.vertices) {
            const Vec3 d = sub(v.position, o.centre);
            largest = std::fmax(largest, dot(d, d));
        }
        o.radius = std::sqrt(largest);
    }
}
