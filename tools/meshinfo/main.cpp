// meshinfo: checks .mesh files and reports what they hold.
//
// It reads the files through the generated reader code alone, never through
// the converter's sources, so that it can catch faults in the converter.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <obj2mesh/mesh_generated.h>

#include "../escaped.h"

namespace {

// A FlatBuffers buffer must stay below 2^31 - 1 bytes: its offsets are
// signed 32-bit, and the Verifier refuses anything larger.
constexpr uint64_t kMaxBufferSize = FLATBUFFERS_MAX_BUFFER_SIZE - 1;

struct Bounds {
  bool present = false;  // false for an empty vector
  int axes = 3;          // 3 for positions, 2 for texture coordinates
  float min[3] = {0, 0, 0};
  float max[3] = {0, 0, 0};
};

struct MeshSummary {
  uint64_t positions = 0;
  uint64_t normals = 0;
  uint64_t triangles = 0;
  Bounds bounds;
  const flatbuffers::Vector<const obj2mesh::Vec2*>* texcoords = nullptr;  // null when absent
  Bounds texcoordBounds;
  const flatbuffers::Vector<const obj2mesh::Part*>* parts = nullptr;  // null when absent
};

struct FileReport {
  std::string path;
  bool valid = false;
  std::string reason;  // why the file is not valid
  // A valid file's bytes, and its model within them: each mesh's summary
  // is worked out as it is printed, so that the report holds nothing in
  // proportion to the number of meshes.
  std::unique_ptr<uint8_t[]> data;
  const obj2mesh::Model* model = nullptr;
  uint64_t positions = 0, normals = 0, triangles = 0;  // totals of all meshes
};

// Fits in std::string's own storage, so setting it allocates nothing.
const char* kOutOfMemory = "out of memory";

const char* kUsage =
    "Usage: meshinfo [--json] file.mesh...\n"
    "       meshinfo --version\n"
    "Checks each mesh file (size limit, FlatBuffers verification, triangle indices)\n"
    "and prints its meshes: positions, normals, triangles and bounding box, and the\n"
    "texture coordinates, parts, shapes and materials of files that have them.\n"
    "  --json      print the report as JSON\n"
    "  --version   print the version\n"
    "  -h, --help  print this help\n"
    "Exit status: 0 when every file is valid, 1 when any is not (the reasons go to\n"
    "standard error), 2 for a bad command line.\n";

std::string tooLarge(const std::string& size) {
  return "file is " + size + " bytes; a FlatBuffers buffer must be smaller than " +
         std::to_string(kMaxBufferSize + 1) + " bytes";
}

// Reads the whole regular file at `path` into `data`, at the size fstat
// gives; `size` is what was read.
bool readFile(const std::string& path, std::unique_ptr<uint8_t[]>& data, size_t& size, std::string& reason) {
  // O_NONBLOCK: opening a FIFO that has no writer returns at once instead of
  // waiting for one (regular files ignore the flag). O_NOCTTY: a terminal
  // opened here never becomes the controlling one.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  auto fail = [&](std::string why) {
    close(fd);
    reason = std::move(why);
    return false;
  };
  struct stat st;
  if (fstat(fd, &st) != 0) return fail(std::string("cannot read: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail("is a directory");
  // Pipes, FIFOs, devices and sockets have no size to check beforehand, and
  // may never end: they are refused as the Python reader refuses them.
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  if (st.st_size == 0) return fail("empty file");
  // A file too large is refused before reading any of it.
  if (uint64_t(st.st_size) > kMaxBufferSize) return fail(tooLarge(std::to_string(st.st_size)));

  const size_t want = size_t(st.st_size);
  data.reset(new (std::nothrow) uint8_t[want]);
  if (!data) return fail(kOutOfMemory);
  // A file that shrank since fstat is checked as it now is; one that grew
  // is read up to its fstat size.
  size = 0;
  while (size < want) {
    ssize_t n = read(fd, data.get() + size, want - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::string("cannot read: ") + std::strerror(errno));
    if (n == 0) break;
    size += size_t(n);
  }
  close(fd);
  if (size == 0) {
    reason = "empty file";
    return false;
  }
  return true;
}

void coordinates(const obj2mesh::Vec3& p, float v[3]) {
  v[0] = p.x();
  v[1] = p.y();
  v[2] = p.z();
}

void coordinates(const obj2mesh::Vec2& p, float v[3]) {
  v[0] = p.x();
  v[1] = p.y();
}

// Bounding box of the points. NaN coordinates take no part; an axis that
// has nothing else reports NaN.
template <int Axes, typename Point>
Bounds boundsOf(const flatbuffers::Vector<const Point*>& points) {
  Bounds b;
  b.axes = Axes;
  if (points.size() == 0) return b;
  b.present = true;
  const float inf = std::numeric_limits<float>::infinity();
  for (int axis = 0; axis < Axes; ++axis) {
    b.min[axis] = inf;
    b.max[axis] = -inf;
  }
  for (const Point* p : points) {
    float v[3];
    coordinates(*p, v);
    for (int axis = 0; axis < Axes; ++axis) {
      if (v[axis] < b.min[axis]) b.min[axis] = v[axis];
      if (v[axis] > b.max[axis]) b.max[axis] = v[axis];
    }
  }
  for (int axis = 0; axis < Axes; ++axis) {
    if (b.min[axis] > b.max[axis]) b.min[axis] = b.max[axis] = std::numeric_limits<float>::quiet_NaN();
  }
  return b;
}

// Checks that the parts split the mesh's indices end to end into runs of
// whole triangles, each naming a shape and a material (or -1) the model has.
bool checkParts(const flatbuffers::Vector<const obj2mesh::Part*>& parts, uint32_t indices, uint64_t shapes,
                uint64_t materials, const std::string& which, std::string& reason) {
  uint64_t next = 0;  // where the next part must start
  for (uint32_t i = 0; i < parts.size(); ++i) {
    const obj2mesh::Part& part = *parts.Get(i);
    const std::string name = which + "part " + std::to_string(i);
    if (part.indexCount() % 3 != 0) {
      reason = name + " has " + std::to_string(part.indexCount()) + " indices, not a multiple of 3";
      return false;
    }
    if (part.firstIndex() != next) {
      reason = name + " starts at index " + std::to_string(part.firstIndex()) + ", not at " + std::to_string(next);
      return false;
    }
    next += part.indexCount();
    if (next > indices) {
      reason = name + " ends at index " + std::to_string(next) + ", but the mesh has only " +
               std::to_string(indices) + " indices";
      return false;
    }
    if (part.shape() >= shapes) {
      reason = name + " names shape " + std::to_string(part.shape()) + ", but the model has " +
               std::to_string(shapes) + " shapes";
      return false;
    }
    if (part.material() < -1 || part.material() >= int64_t(materials)) {
      reason = name + " names material " + std::to_string(part.material()) + ", but the model has " +
               std::to_string(materials) + " materials";
      return false;
    }
  }
  if (next != indices) {
    reason = which + "parts cover " + std::to_string(next) + " of the mesh's " + std::to_string(indices) + " indices";
    return false;
  }
  return true;
}

// Checks one mesh of a model with `shapes` shapes and `materials`
// materials, and adds its counts to the report's totals.
bool checkMesh(const obj2mesh::Mesh& mesh, size_t number, uint64_t shapes, uint64_t materials, FileReport& report,
               std::string& reason) {
  const std::string which = "mesh " + std::to_string(number) + ": ";
  const auto* positions = mesh.positions();
  const auto* normals = mesh.normals();
  const auto* indices = mesh.indices();
  // The converter always writes all three vectors, even empty ones, so an
  // absent one means the file did not come from it intact.
  if (!positions || !normals || !indices) {
    reason = which + "no " + std::string(!positions ? "positions" : !normals ? "normals" : "indices") + " vector";
    return false;
  }
  if (indices->size() % 3 != 0) {
    reason = which + std::to_string(indices->size()) + " indices, not a multiple of 3";
    return false;
  }
  const uint32_t count = positions->size();
  for (uint32_t i = 0; i < indices->size(); ++i) {
    uint32_t index = indices->Get(i);
    if (index >= count) {
      reason = which + "index " + std::to_string(i) + " is " + std::to_string(index) + ", but the mesh has only " +
               std::to_string(count) + " positions";
      return false;
    }
  }
  // Texture coordinates, when present, belong to the positions one to one.
  if (mesh.texcoords() && mesh.texcoords()->size() != count) {
    reason = which + std::to_string(mesh.texcoords()->size()) + " texcoords, but the mesh has " +
             std::to_string(count) + " positions";
    return false;
  }
  if (mesh.parts() && !checkParts(*mesh.parts(), indices->size(), shapes, materials, which, reason)) return false;
  report.positions += count;
  report.normals += normals->size();
  report.triangles += indices->size() / 3;
  return true;
}

// The summary of a mesh that checkMesh accepted.
MeshSummary summarize(const obj2mesh::Mesh& mesh) {
  MeshSummary summary;
  summary.positions = mesh.positions()->size();
  summary.normals = mesh.normals()->size();
  summary.triangles = mesh.indices()->size() / 3;
  summary.bounds = boundsOf<3>(*mesh.positions());
  summary.texcoords = mesh.texcoords();
  if (summary.texcoords) summary.texcoordBounds = boundsOf<2>(*summary.texcoords);
  summary.parts = mesh.parts();
  return summary;
}

bool checkBuffer(const uint8_t* data, size_t size, FileReport& report, std::string& reason) {
  flatbuffers::Verifier::Options options;
  // Every mesh is a table: a file split into many shapes can hold far more
  // than the Verifier's default of a million.
  options.max_tables = std::numeric_limits<flatbuffers::uoffset_t>::max();
  flatbuffers::Verifier verifier(data, size, options);
  // The files carry no identifier, so none is checked.
  if (!obj2mesh::VerifyModelBuffer(verifier)) {
    reason = "not a valid mesh buffer (FlatBuffers verification failed)";
    return false;
  }
  const obj2mesh::Model* model = obj2mesh::GetModel(data);
  if (!model->meshes()) {
    reason = "no meshes vector";
    return false;
  }
  const uint64_t shapes = model->shapes() ? model->shapes()->size() : 0;
  const uint64_t materials = model->materials() ? model->materials()->size() : 0;
  for (flatbuffers::uoffset_t i = 0; i < model->meshes()->size(); ++i) {
    if (!checkMesh(*model->meshes()->Get(i), i, shapes, materials, report, reason)) return false;
  }
  report.model = model;
  return true;
}

// Reads and checks the file. Running out of memory makes it invalid, with
// its bytes already freed.
FileReport inspect(const std::string& path) {
  FileReport report;
  report.path = path;
  try {
    size_t size = 0;
    report.valid = readFile(path, report.data, size, report.reason) &&
                   checkBuffer(report.data.get(), size, report, report.reason);
  } catch (const std::bad_alloc&) {
    report.valid = false;
    report.reason = kOutOfMemory;
  }
  if (!report.valid) report.data.reset();
  return report;
}

// The printing below allocates nothing, so that a report, once begun,
// is always printed whole.

struct Number {
  char text[32];
};

// Enough digits to read back the same float; in JSON, null for a value that
// is not finite.
Number number(float value, bool json) {
  Number n;
  if (json && !std::isfinite(value))
    std::snprintf(n.text, sizeof n.text, "null");
  else
    std::snprintf(n.text, sizeof n.text, "%.9g", double(value));
  return n;
}

const char* noun(uint64_t n, const char* one, const char* many) { return n == 1 ? one : many; }

// A point, "(x, y, z)" in text, "[x, y, z]" in JSON.
void printPoint(const float* v, int axes, bool json) {
  std::putchar(json ? '[' : '(');
  for (int axis = 0; axis < axes; ++axis) std::printf("%s%s", axis ? ", " : "", number(v[axis], json).text);
  std::putchar(json ? ']' : ')');
}

// Two points, "(x, y, z) to (x, y, z)" in text, "{"min": [x, y, z], "max":
// [x, y, z]}" in JSON.
void printBounds(const Bounds& b, bool json) {
  std::fputs(json ? "{\"min\": " : "", stdout);
  printPoint(b.min, b.axes, json);
  std::fputs(json ? ", \"max\": " : " to ", stdout);
  printPoint(b.max, b.axes, json);
  if (json) std::putchar('}');
}

std::string_view view(const flatbuffers::String& text) { return {text.c_str(), text.size()}; }

// Prints a name of the file in double quotes for the text report: '"' and
// '\' after a backslash, control bytes as \n, \t, \r or \xNN.
void printQuoted(std::string_view text) {
  std::putchar('"');
  for (const char ch : text) {
    const unsigned char c = ch;
    if (c == '"' || c == '\\')
      std::printf("\\%c", c);
    else if (c == '\n' || c == '\t' || c == '\r')
      std::printf("\\%c", c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
    else if (c < 0x20 || c == 0x7f)
      std::printf("\\x%02x", c);
    else
      std::putchar(c);
  }
  std::putchar('"');
}

// The length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8Length(std::string_view text, size_t i) {
  const unsigned char c = text[i];
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  uint32_t code = n == 1 ? c : c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    const unsigned char follow = text[i + k];
    if ((follow & 0xC0) != 0x80) return 0;
    code = code << 6 | (follow & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

// Prints a JSON string. Bytes that are not part of well-formed UTF-8 become
// the escapes \udc80 to \udcff (byte 0x80 + k is \udc80 + k), as Python's
// "surrogateescape" writes them, so that the output is plain UTF-8 and the
// original bytes can be recovered.
void printJsonString(std::string_view text) {
  std::putchar('"');
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    const size_t n = utf8Length(text, i);
    if (n == 0) {
      std::printf("\\u%04x", 0xDC00 + c);
      ++i;
      continue;
    }
    if (c == '"' || c == '\\')
      std::printf("\\%c", c);
    else if (c < 0x20)
      std::printf("\\u%04x", c);
    else
      std::fwrite(text.data() + i, 1, n, stdout);
    i += n;
  }
  std::putchar('"');
}

// The properties a material sets, in schema order: in text after
// "material N", as ' "name": diffuse (1, 0, 0), shininess 10'; in JSON as
// an object with the schema's field names.
void printMaterial(const obj2mesh::Material& material, bool json) {
  // The generated accessors give a default for an absent scalar; the table
  // underneath tells whether it is present.
  const auto& table = reinterpret_cast<const flatbuffers::Table&>(material);
  const char* separator = json ? "{" : ": ";
  auto key = [&](const char* jsonKey, const char* textKey) {
    std::printf(json ? "%s\"%s\": " : "%s%s ", separator, json ? jsonKey : textKey);
    separator = ", ";
  };
  auto string = [&](const flatbuffers::String& text) { json ? printJsonString(view(text)) : printQuoted(view(text)); };
  if (material.name()) {
    if (json)
      key("name", "");
    else
      std::putchar(' ');
    string(*material.name());
  }
  const struct {
    const char* name;
    const obj2mesh::Vec3* value;
  } colors[] = {{"ambient", material.ambient()},
                {"diffuse", material.diffuse()},
                {"specular", material.specular()},
                {"emissive", material.emissive()}};
  for (const auto& color : colors) {
    if (!color.value) continue;
    key(color.name, color.name);
    float v[3];
    coordinates(*color.value, v);
    printPoint(v, 3, json);
  }
  if (table.CheckField(obj2mesh::Material::VT_SHININESS)) {
    key("shininess", "shininess");
    std::fputs(number(material.shininess(), json).text, stdout);
  }
  if (table.CheckField(obj2mesh::Material::VT_OPACITY)) {
    key("opacity", "opacity");
    std::fputs(number(material.opacity(), json).text, stdout);
  }
  if (table.CheckField(obj2mesh::Material::VT_ILLUM)) {
    key("illum", "illum");
    std::printf("%d", int(material.illum()));
  }
  const struct {
    const char *jsonKey, *textKey;
    const flatbuffers::String* value;
  } textures[] = {{"ambientTexture", "ambient texture", material.ambientTexture()},
                  {"diffuseTexture", "diffuse texture", material.diffuseTexture()},
                  {"specularTexture", "specular texture", material.specularTexture()},
                  {"emissiveTexture", "emissive texture", material.emissiveTexture()},
                  {"opacityTexture", "opacity texture", material.opacityTexture()},
                  {"normalTexture", "normal texture", material.normalTexture()}};
  for (const auto& texture : textures) {
    if (!texture.value) continue;
    key(texture.jsonKey, texture.textKey);
    string(*texture.value);
  }
  if (json)
    std::fputs(separator[0] == '{' ? "{}" : "}", stdout);
  else if (separator[0] == ':')
    std::fputs(": nothing set", stdout);
}

void printText(const FileReport& report) {
  const obj2mesh::Model& model = *report.model;
  const auto& meshes = *model.meshes();
  const unsigned long long count = meshes.size(), positions = report.positions, normals = report.normals,
                           triangles = report.triangles;
  std::printf("%s: %llu %s; %llu %s, %llu %s, %llu %s in all", report.path.c_str(), count,
              noun(count, "mesh", "meshes"), positions, noun(positions, "position", "positions"), normals,
              noun(normals, "normal", "normals"), triangles, noun(triangles, "triangle", "triangles"));
  const char* separator = "; ";
  if (model.shapes()) {
    const unsigned long long shapes = model.shapes()->size();
    std::printf("%s%llu %s", separator, shapes, noun(shapes, "shape", "shapes"));
    separator = ", ";
  }
  if (model.materials()) {
    const unsigned long long materials = model.materials()->size();
    std::printf("%s%llu %s", separator, materials, noun(materials, "material", "materials"));
  }
  std::putchar('\n');
  for (flatbuffers::uoffset_t i = 0; i < meshes.size(); ++i) {
    const MeshSummary m = summarize(*meshes.Get(i));
    const char* alignment = m.normals == m.positions ? "one per position" : m.normals == 0 ? "none" : "not one per position";
    std::printf("  mesh %llu: %llu %s, %llu %s (%s), %llu %s, bounds ", (unsigned long long)i,
                (unsigned long long)m.positions, noun(m.positions, "position", "positions"),
                (unsigned long long)m.normals, noun(m.normals, "normal", "normals"), alignment,
                (unsigned long long)m.triangles, noun(m.triangles, "triangle", "triangles"));
    if (m.bounds.present)
      printBounds(m.bounds, false);
    else
      std::fputs("none", stdout);
    std::putchar('\n');
    if (m.texcoords) {
      const unsigned long long n = m.texcoords->size();
      std::printf("    %llu %s, bounds ", n, noun(n, "texture coordinate", "texture coordinates"));
      if (m.texcoordBounds.present)
        printBounds(m.texcoordBounds, false);
      else
        std::fputs("none", stdout);
      std::putchar('\n');
    }
    for (flatbuffers::uoffset_t k = 0; m.parts && k < m.parts->size(); ++k) {
      const obj2mesh::Part& part = *m.parts->Get(k);
      const unsigned long long partTriangles = part.indexCount() / 3;
      std::printf("    part %llu: %llu %s from %llu, shape %llu ", (unsigned long long)k, partTriangles,
                  noun(partTriangles, "triangle", "triangles"), (unsigned long long)part.firstIndex() / 3,
                  (unsigned long long)part.shape());
      printQuoted(view(*model.shapes()->Get(part.shape())));
      if (part.material() < 0) {
        std::fputs(", no material\n", stdout);
        continue;
      }
      std::printf(", material %d", int(part.material()));
      const flatbuffers::String* name = model.materials()->Get(part.material())->name();
      if (name) {
        std::putchar(' ');
        printQuoted(view(*name));
      }
      std::putchar('\n');
    }
  }
  for (flatbuffers::uoffset_t i = 0; model.shapes() && i < model.shapes()->size(); ++i) {
    std::printf("  shape %llu: ", (unsigned long long)i);
    printQuoted(view(*model.shapes()->Get(i)));
    std::putchar('\n');
  }
  for (flatbuffers::uoffset_t i = 0; model.materials() && i < model.materials()->size(); ++i) {
    std::printf("  material %llu", (unsigned long long)i);
    printMaterial(*model.materials()->Get(i), false);
    std::putchar('\n');
  }
}

void printJson(const FileReport& report, bool first) {
  std::printf("%s\n  {\"path\": ", first ? "" : ",");
  printJsonString(report.path);
  std::printf(", \"valid\": %s", report.valid ? "true" : "false");
  if (!report.valid) {
    std::printf(", \"error\": ");
    printJsonString(report.reason);
    std::putchar('}');
    return;
  }
  const obj2mesh::Model& model = *report.model;
  const auto& meshes = *model.meshes();
  std::printf(", \"meshCount\": %llu, \"meshes\": [", (unsigned long long)meshes.size());
  for (flatbuffers::uoffset_t i = 0; i < meshes.size(); ++i) {
    const MeshSummary m = summarize(*meshes.Get(i));
    std::printf("%s\n    {\"positions\": %llu, \"normals\": %llu, \"normalsPerPosition\": %s, "
                "\"triangles\": %llu, \"bounds\": ",
                i ? "," : "", (unsigned long long)m.positions, (unsigned long long)m.normals,
                m.normals == m.positions ? "true" : "false", (unsigned long long)m.triangles);
    if (m.bounds.present)
      printBounds(m.bounds, true);
    else
      std::fputs("null", stdout);
    if (m.texcoords) {
      std::printf(", \"texcoords\": %llu, \"texcoordBounds\": ", (unsigned long long)m.texcoords->size());
      if (m.texcoordBounds.present)
        printBounds(m.texcoordBounds, true);
      else
        std::fputs("null", stdout);
    }
    if (m.parts) {
      std::fputs(", \"parts\": [", stdout);
      for (flatbuffers::uoffset_t k = 0; k < m.parts->size(); ++k) {
        const obj2mesh::Part& part = *m.parts->Get(k);
        std::printf("%s{\"firstIndex\": %llu, \"indexCount\": %llu, \"material\": %d, \"shape\": %llu}", k ? ", " : "",
                    (unsigned long long)part.firstIndex(), (unsigned long long)part.indexCount(),
                    int(part.material()), (unsigned long long)part.shape());
      }
      std::putchar(']');
    }
    std::putchar('}');
  }
  std::printf("%s]", meshes.size() == 0 ? "" : "\n  ");
  if (model.shapes()) {
    std::fputs(", \"shapes\": [", stdout);
    for (flatbuffers::uoffset_t i = 0; i < model.shapes()->size(); ++i) {
      if (i) std::fputs(", ", stdout);
      printJsonString(view(*model.shapes()->Get(i)));
    }
    std::putchar(']');
  }
  if (model.materials()) {
    const auto& materials = *model.materials();
    std::fputs(", \"materials\": [", stdout);
    for (flatbuffers::uoffset_t i = 0; i < materials.size(); ++i) {
      std::fputs(i ? ",\n    " : "\n    ", stdout);
      printMaterial(*materials.Get(i), true);
    }
    std::printf("%s]", materials.size() == 0 ? "" : "\n  ");
  }
  std::putchar('}');
}

int run(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> paths;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options && (arg == "-h" || arg == "--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (options && arg == "--version") {
      std::printf("meshinfo %s\n", OBJ2MESH_VERSION);
      return 0;
    } else if (options && arg == "--json") {
      json = true;
    } else if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "meshinfo: unknown option '%s'\n%s", escaped(arg).c_str(), kUsage);
      return 2;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  bool allValid = true;
  if (json) std::printf("[");
  for (size_t i = 0; i < paths.size(); ++i) {
    const FileReport report = inspect(paths[i]);
    if (!report.valid) {
      allValid = false;
      std::fflush(stdout);
      std::fprintf(stderr, "meshinfo: %s: %s\n", escaped(report.path).c_str(), report.reason.c_str());
    }
    if (json)
      printJson(report, i == 0);
    else if (report.valid)
      printText(report);
  }
  if (json) std::printf("\n]\n");
  return allValid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // inspect() turns running out of memory into a file's reason; this
  // catches it anywhere else, such as in reading the command line.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("meshinfo: out of memory\n", stderr);
    return 1;
  }
}
