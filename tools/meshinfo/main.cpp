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
#include <vector>

#include <obj2mesh/mesh_generated.h>

#include "../escaped.h"

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

// Checks one mesh and adds its counts to the report's totals.
bool checkMesh(const obj2mesh::Mesh& mesh, size_t number, FileReport& report, std::string& reason) {
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
  summary.bounds = boundsOf(*mesh.positions());
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
  for (flatbuffers::uoffset_t i = 0; i < model->meshes()->size(); ++i) {
    if (!checkMesh(*model->meshes()->Get(i), i, report, reason)) return false;
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

// Two points, "(x, y, z) to (x, y, z)" in text, "[x, y, z]" twice in JSON.
void printBounds(const Bounds& b, bool json) {
  Number v[6];
  for (int axis = 0; axis < 3; ++axis) {
    v[axis] = number(b.min[axis], json);
    v[3 + axis] = number(b.max[axis], json);
  }
  std::printf(json ? "{\"min\": [%s, %s, %s], \"max\": [%s, %s, %s]}" : "(%s, %s, %s) to (%s, %s, %s)", v[0].text,
              v[1].text, v[2].text, v[3].text, v[4].text, v[5].text);
}

void printText(const FileReport& report) {
  const auto& meshes = *report.model->meshes();
  const unsigned long long count = meshes.size(), positions = report.positions, normals = report.normals,
                           triangles = report.triangles;
  std::printf("%s: %llu %s; %llu %s, %llu %s, %llu %s in all\n", report.path.c_str(), count,
              noun(count, "mesh", "meshes"), positions, noun(positions, "position", "positions"), normals,
              noun(normals, "normal", "normals"), triangles, noun(triangles, "triangle", "triangles"));
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

// Prints a JSON string. Bytes that are not part of well-formed UTF-8 become
// the escapes \udc80 to \udcff (byte 0x80 + k is \udc80 + k), as Python's
// "surrogateescape" writes them, so that the output is plain UTF-8 and the
// original bytes can be recovered.
void printJsonString(const std::string& text) {
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
  const auto& meshes = *report.model->meshes();
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
    std::putchar('}');
  }
  std::printf("%s]}", meshes.size() == 0 ? "" : "\n  ");
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
