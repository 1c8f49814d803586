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
#include <string>
#include <vector>

#include <obj2mesh/mesh_generated.h>

namespace {

// A FlatBuffers buffer must stay below 2^31 - 1 bytes: its offsets are
// signed 32-bit, and the Verifier refuses anything larger.
constexpr uint64_t kMaxBufferSize = FLATBUFFERS_MAX_BUFFER_SIZE - 1;

struct Bounds {
  bool present = false;  // false for a mesh without positions
  float min[3] = {0, 0, 0};
  float max[3] = {0, 0, 0};
};

struct MeshSummary {
  uint64_t positions = 0;
  uint64_t normals = 0;
  uint64_t triangles = 0;
  Bounds bounds;
};

struct FileReport {
  std::string path;
  bool valid = false;
  std::string reason;  // why the file is not valid
  std::vector<MeshSummary> meshes;
};

const char* kUsage =
    "Usage: meshinfo [--json] file.mesh...\n"
    "       meshinfo --version\n"
    "Checks each mesh file (size limit, FlatBuffers verification, triangle indices)\n"
    "and prints its meshes: positions, normals, triangles and bounding box.\n"
    "  --json      print the report as JSON\n"
    "  --version   print the version\n"
    "  -h, --help  print this help\n"
    "Exit status: 0 when every file is valid, 1 when any is not (the reasons go to\n"
    "standard error), 2 for a bad command line.\n";

std::string tooLarge(const std::string& size) {
  return "file is " + size + " bytes; a FlatBuffers buffer must be smaller than " +
         std::to_string(kMaxBufferSize + 1) + " bytes";
}

bool readFile(const std::string& path, std::vector<uint8_t>& data, std::string& reason) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
  // A regular file too large is refused before reading any of it.
  if (S_ISREG(st.st_mode) && uint64_t(st.st_size) > kMaxBufferSize)
    return fail(tooLarge(std::to_string(st.st_size)));

  data.clear();
  if (S_ISREG(st.st_mode)) data.reserve(size_t(st.st_size));
  const size_t chunk = size_t(1) << 20;
  for (;;) {
    size_t used = data.size();
    data.resize(used + chunk);
    ssize_t n = read(fd, data.data() + used, chunk);
    if (n < 0 && errno == EINTR) {
      data.resize(used);
      continue;
    }
    if (n < 0) return fail(std::string("cannot read: ") + std::strerror(errno));
    data.resize(used + size_t(n));
    if (n == 0) break;
    // Pipes and devices have no size to look at beforehand.
    if (data.size() > kMaxBufferSize) return fail(tooLarge("more than " + std::to_string(kMaxBufferSize)));
  }
  close(fd);
  if (data.empty()) {
    reason = "empty file";
    return false;
  }
  return true;
}

// Bounding box of the positions. NaN coordinates take no part; an axis that
// has nothing else reports NaN.
Bounds boundsOf(const flatbuffers::Vector<const obj2mesh::Vec3*>& positions) {
  Bounds b;
  if (positions.size() == 0) return b;
  b.present = true;
  const float inf = std::numeric_limits<float>::infinity();
  for (int axis = 0; axis < 3; ++axis) {
    b.min[axis] = inf;
    b.max[axis] = -inf;
  }
  for (const obj2mesh::Vec3* p : positions) {
    const float v[3] = {p->x(), p->y(), p->z()};
    for (int axis = 0; axis < 3; ++axis) {
      if (v[axis] < b.min[axis]) b.min[axis] = v[axis];
      if (v[axis] > b.max[axis]) b.max[axis] = v[axis];
    }
  }
  for (int axis = 0; axis < 3; ++axis) {
    if (b.min[axis] > b.max[axis]) b.min[axis] = b.max[axis] = std::numeric_limits<float>::quiet_NaN();
  }
  return b;
}

bool checkMesh(const obj2mesh::Mesh& mesh, size_t number, MeshSummary& summary, std::string& reason) {
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
  summary.positions = count;
  summary.normals = normals->size();
  summary.triangles = indices->size() / 3;
  summary.bounds = boundsOf(*positions);
  return true;
}

bool checkBuffer(const uint8_t* data, size_t size, std::vector<MeshSummary>& meshes, std::string& reason) {
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
  meshes.resize(model->meshes()->size());
  for (size_t i = 0; i < meshes.size(); ++i) {
    if (!checkMesh(*model->meshes()->Get(flatbuffers::uoffset_t(i)), i, meshes[i], reason)) return false;
  }
  return true;
}

FileReport inspect(const std::string& path) {
  FileReport report;
  report.path = path;
  std::vector<uint8_t> data;
  report.valid = readFile(path, data, report.reason) && checkBuffer(data.data(), data.size(), report.meshes, report.reason);
  if (!report.valid) report.meshes.clear();
  return report;
}

std::string number(float value, bool json) {
  if (json && !std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", double(value));  // enough digits to read back the same float
  return text;
}

std::string counted(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string point(const float* v) {
  return "(" + number(v[0], false) + ", " + number(v[1], false) + ", " + number(v[2], false) + ")";
}

void printText(const FileReport& report) {
  uint64_t positions = 0, normals = 0, triangles = 0;
  for (const MeshSummary& m : report.meshes) {
    positions += m.positions;
    normals += m.normals;
    triangles += m.triangles;
  }
  std::printf("%s: %s; %s, %s, %s in all\n", report.path.c_str(), counted(report.meshes.size(), "mesh", "meshes").c_str(),
              counted(positions, "position", "positions").c_str(), counted(normals, "normal", "normals").c_str(),
              counted(triangles, "triangle", "triangles").c_str());
  for (size_t i = 0; i < report.meshes.size(); ++i) {
    const MeshSummary& m = report.meshes[i];
    const char* alignment = m.normals == m.positions ? "one per position" : m.normals == 0 ? "none" : "not one per position";
    std::string bounds = m.bounds.present ? point(m.bounds.min) + " to " + point(m.bounds.max) : "none";
    std::printf("  mesh %zu: %s, %s (%s), %s, bounds %s\n", i, counted(m.positions, "position", "positions").c_str(),
                counted(m.normals, "normal", "normals").c_str(), alignment,
                counted(m.triangles, "triangle", "triangles").c_str(), bounds.c_str());
  }
}

// The length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8Length(const std::string& text, size_t i) {
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

// A JSON string. Bytes that are not part of well-formed UTF-8 become the
// escapes \udc80 to \udcff (byte 0x80 + k is \udc80 + k), as Python's
// "surrogateescape" writes them, so that the output is plain UTF-8 and the
// original bytes can be recovered.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    const size_t n = utf8Length(text, i);
    char escape[8];
    if (n == 0) {
      std::snprintf(escape, sizeof escape, "\\u%04x", 0xDC00 + c);
      out += escape;
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out + "\"";
}

std::string jsonPoint(const float* v) {
  return "[" + number(v[0], true) + ", " + number(v[1], true) + ", " + number(v[2], true) + "]";
}

void printJson(const FileReport& report, bool first) {
  std::printf("%s\n  {\"path\": %s, \"valid\": %s", first ? "" : ",", jsonString(report.path).c_str(),
              report.valid ? "true" : "false");
  if (!report.valid) {
    std::printf(", \"error\": %s}", jsonString(report.reason).c_str());
    return;
  }
  std::printf(", \"meshCount\": %zu, \"meshes\": [", report.meshes.size());
  for (size_t i = 0; i < report.meshes.size(); ++i) {
    const MeshSummary& m = report.meshes[i];
    std::string bounds = m.bounds.present
                             ? "{\"min\": " + jsonPoint(m.bounds.min) + ", \"max\": " + jsonPoint(m.bounds.max) + "}"
                             : "null";
    std::printf("%s\n    {\"positions\": %llu, \"normals\": %llu, \"normalsPerPosition\": %s, "
                "\"triangles\": %llu, \"bounds\": %s}",
                i ? "," : "", (unsigned long long)m.positions, (unsigned long long)m.normals,
                m.normals == m.positions ? "true" : "false", (unsigned long long)m.triangles, bounds.c_str());
  }
  std::printf("%s]}", report.meshes.empty() ? "" : "\n  ");
}

}  // namespace

int main(int argc, char** argv) {
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
      std::fprintf(stderr, "meshinfo: unknown option '%s'\n%s", arg.c_str(), kUsage);
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
    FileReport report = inspect(paths[i]);
    if (!report.valid) {
      allValid = false;
      std::fflush(stdout);
      std::fprintf(stderr, "meshinfo: %s: %s\n", report.path.c_str(), report.reason.c_str());
    }
    if (json)
      printJson(report, i == 0);
    else if (report.valid)
      printText(report);
  }
  if (json) std::printf("\n]\n");
  return allValid ? 0 : 1;
}
