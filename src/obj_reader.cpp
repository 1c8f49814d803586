#include "obj_reader.h"

#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "material_library.h"
#include "padded_text.h"
#include "text_scan.h"

namespace obj2mesh {
namespace {

// State of one load, fed line by line.
struct ObjLoader {
  ObjLoader(const std::string& path, const MaterialLookup& lookup) : path(path), lookup(lookup) {}

  const std::string& path;
  const MaterialLookup& lookup;

  PodArray<float> in_positions;
  PodArray<float> in_normals;
  size_t texcoordCount = 0;  // "vt" lines; their values never reach a file
  MaterialTable materials;
  ShapeAssembler assembler;
  std::string name;
  int32_t materialId = -1;

  PodArray<CornerIndex> face;  // scratch for the face being read
  uint64_t line = 0;
  bool failed = false;
  Failure failure;
};

bool reject(ObjLoader& loader, uint64_t line, std::string reason) {
  loader.failed = true;
  loader.failure.line = line;
  loader.failure.reason = std::move(reason);
  return false;
}

bool failAssembly(ObjLoader& loader) {
  loader.failed = true;
  return false;
}

// Closes the current shape, keeping it only when it received a face.
bool endShape(ObjLoader& loader) {
  if (!loader.assembler.endShape(loader.name, loader.in_positions, loader.in_normals, loader.failure))
    return failAssembly(loader);
  return true;
}

void readNumbers(const char* p, const char* end, PodArray<float>& out, int n) {
  float* values = out.extend(size_t(n));
  for (int i = 0; i < n; ++i) values[i] = parseNumberField(p, end);
}

bool rejectIndex(ObjLoader& loader, int64_t n) {
  if (n < INT32_MIN || n > INT32_MAX)
    return reject(loader, loader.line,
                  std::string("face index ") + (n < 0 ? "below -2147483648" : "above 2147483647") +
                      " is outside the 32-bit range");
  return reject(loader, loader.line, "relative face index is outside the 32-bit range");
}

// Reads one index of a corner and resolves it against the number of
// elements read so far: n > 0 is 1-based, 0 reads as 1, n < 0 counts back
// from the end. Returns where the corner's reading goes on, or nullptr
// when the index cannot be represented.
inline const char* readIndex(ObjLoader& loader, const char* p, const char* end, size_t count, int32_t& out) {
  int64_t n;
  p = readCornerInteger(p, end, n);
  int64_t resolved = n > 0 ? n - 1 : n == 0 ? 0 : int64_t(count) + n;
  if (n < INT32_MIN || n > INT32_MAX || resolved > INT32_MAX) {
    rejectIndex(loader, n);
    return nullptr;
  }
  out = int32_t(resolved);
  return p;
}

bool readFace(ObjLoader& loader, const char* p, const char* end) {
  size_t positions = loader.in_positions.size() / 3;
  size_t texcoords = loader.texcoordCount;
  size_t normals = loader.in_normals.size() / 3;
  PodArray<CornerIndex>& face = loader.face;
  face.clear();
  while (p != end && isBlank(*p)) ++p;
  if (p == end || *p != '\r') {
    while (p != end) {
      CornerIndex c;
      if (!(p = readIndex(loader, p, end, positions, c.v_idx))) return false;
      if (p != end && *p == '/') {
        ++p;
        if (p != end && *p == '/') {
          if (!(p = readIndex(loader, p + 1, end, normals, c.vn_idx))) return false;
        } else {
          if (!(p = readIndex(loader, p, end, texcoords, c.vt_idx))) return false;
          if (p != end && *p == '/' && !(p = readIndex(loader, p + 1, end, normals, c.vn_idx)))
            return false;
        }
      }
      face.push_back(c);
      while (p != end && (isBlank(*p) || *p == '\r')) ++p;
    }
  }
  if (!loader.assembler.addFace(face.data(), face.size(), positions, loader.line, loader.failure))
    return failAssembly(loader);
  return true;
}

// A switch to another material closes the face group, so no vertex is
// shared across it.
bool switchMaterial(ObjLoader& loader, const std::string& materialName) {
  int32_t id = loader.materials.find(materialName);
  if (id == loader.materialId) return true;
  if (!loader.assembler.flushFaceGroup(loader.in_positions, loader.in_normals, loader.failure))
    return failAssembly(loader);
  loader.materialId = id;
  return true;
}

// The first group name: the second word of the line, words being split at
// spaces, tabs and carriage returns.
std::string groupName(const char* p, const char* end) {
  while (p != end && (isBlank(*p) || *p == '\r')) ++p;
  const char* start = p;
  while (p != end && !isBlank(*p) && *p != '\r') ++p;
  return std::string(start, p);
}

bool readLine(ObjLoader& loader, const char* p, const char* end) {
  ++loader.line;
  while (p != end && isBlank(*p)) ++p;
  if (end - p < 2) return true;  // every statement is a keyword and a blank
  const char* rest;
  switch (*p) {
    case 'v':
      if (isBlank(p[1])) {
        readNumbers(p + 2, end, loader.in_positions, 3);
      } else if (end - p >= 3 && isBlank(p[2])) {
        if (p[1] == 'n') {
          readNumbers(p + 3, end, loader.in_normals, 3);
        } else if (p[1] == 't') {
          ++loader.texcoordCount;
        }
      }
      return true;
    case 'f':
      return isBlank(p[1]) ? readFace(loader, p + 2, end) : true;
    case 'g':
      if (!isBlank(p[1])) return true;
      if (!endShape(loader)) return false;
      loader.name = groupName(p + 2, end);
      return true;
    case 'o':
      if (!isBlank(p[1])) return true;
      if (!endShape(loader)) return false;
      loader.name = firstWord(p + 2, end);
      return true;
    case 'u':
      if ((rest = afterKeyword(p, end, "usemtl"))) return switchMaterial(loader, firstWord(rest, end));
      return true;
    case 'm':
      if ((rest = afterKeyword(p, end, "mtllib")))
        loader.materials.readLibrary(firstWord(rest, end), loader.lookup);
      return true;
    default:
      return true;
  }
}

// Streams the input through one reused block, whole lines at a time; a
// line longer than the block grows it.
// readMore(into, room) returns the bytes read, 0 at the end, -1 on error.
template <class ReadMore>
void stream(ObjLoader& loader, size_t capacity, ReadMore&& readMore) {
  PaddedText block;
  block.reserve(capacity ? capacity : 1);
  bool hidden = false;
  for (;;) {
    size_t held = block.size();
    ssize_t got = readMore(block.data() + held, block.capacity() - held);
    if (got < 0) return;
    bool atEnd = got == 0;
    block.resize(held + keepVisible(block.data() + held, size_t(got), hidden));
    size_t used = forEachLine(block, atEnd, [&](const char* p, const char* end) { return readLine(loader, p, end); });
    if (loader.failed || atEnd) return;
    std::memmove(block.data(), block.data() + used, block.size() - used);
    block.resize(block.size() - used);
    if (block.size() == block.capacity()) block.reserve(2 * block.capacity());
  }
}

bool finishLoad(ObjLoader& loader, ObjShapes& shapes, Failure& failure) {
  if (!loader.failed) endShape(loader);
  if (loader.failed) {
    failure = std::move(loader.failure);
    failure.path = loader.path;
    return false;
  }
  shapes = std::move(loader.assembler.shapes());
  return true;
}

bool cannotRead(const std::string& path, const char* what, int error, Failure& failure) {
  failure.path = path;
  failure.line = 0;
  failure.reason = std::string(what) + ": " + std::strerror(error);
  return false;
}

}  // namespace

bool readObjBuffer(const char* data, size_t size, const std::string& path, const MaterialLookup& lookup,
                   ObjShapes& shapes, Failure& failure, const ReadOptions& options) {
  ObjLoader loader(path, lookup);
  size_t offset = 0;
  stream(loader, options.firstBlockBytes, [&](char* into, size_t room) {
    size_t n = room < size - offset ? room : size - offset;
    if (n) std::memcpy(into, data + offset, n);
    offset += n;
    return ssize_t(n);
  });
  return finishLoad(loader, shapes, failure);
}

bool readObjFile(const std::string& path, const MaterialLookup& lookup, ObjShapes& shapes, Failure& failure,
                 const ReadOptions& options) {
  FileDescriptor file(openForReading(path));
  if (file.get() < 0) return cannotRead(path, errno == EISDIR ? "cannot read" : "cannot open", errno, failure);
  ObjLoader loader(path, lookup);
  int readError = 0;
  stream(loader, options.firstBlockBytes, [&](char* into, size_t room) {
    ssize_t got = readSome(file.get(), into, room);
    if (got < 0) readError = errno;
    return got;
  });
  if (readError) return cannotRead(path, "cannot read", readError, failure);
  return finishLoad(loader, shapes, failure);
}

}  // namespace obj2mesh
