#include "obj_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "line_reader.h"
#include "text_scan.h"

namespace {

// State of one load, fed line by line.
struct ObjLoader {
  std::string path;
  std::vector<ObjShape>* shapes;
  std::vector<ObjMaterial>* materials;
  std::string* errorText;
  MaterialReader* materialReader;

  PodArray<float> in_positions;
  PodArray<float> in_normals;
  PodArray<float> in_texcoords;
  size_t texcoordCount = 0;  // "vt" lines, also when their values are not kept
  bool keepTexcoords = true;
  MaterialTable materialTable;
  std::unordered_set<std::string> libraryNames;     // libraries read, by name
  std::unordered_set<std::string> libraryContents;  // and by their bytes

  std::shared_ptr<ShapeStorage> storage;
  ObjShape shape;
  bool shapeHasFaces = false;
  FaceGroup group;
  std::string name;
  int32_t materialId = -1;

  PodArray<CornerIndex> face;  // scratch for the face being read
  uint64_t line = 0;
  LoadResult result;
};

bool reject(ObjLoader& loader, uint64_t line, std::string reason) {
  loader.result.status = LoadStatus::Rejected;
  loader.result.path = loader.path;
  loader.result.line = line;
  loader.result.reason = std::move(reason);
  return false;
}

bool rejectAssembly(ObjLoader& loader, const AssemblyFailure& failure) {
  if (failure.error == AssemblyError::TooManyVertices)
    return reject(loader, failure.line, "a shape has more vertices than 32-bit vertex numbers can count");
  if (failure.vertexIndex < 0)
    return reject(loader, failure.line,
                  "face corner names a vertex before the first one (relative index too far back)");
  return reject(loader, failure.line,
                "face corner names vertex " + std::to_string(failure.vertexIndex + 1) + ", but only " +
                    std::to_string(failure.vertexCount) + " are defined");
}

bool flush(ObjLoader& loader) {
  AssemblyFailure failure;
  if (flushFaceGroup(loader.shape, loader.group, loader.in_positions, loader.in_normals,
                     loader.in_texcoords, loader.name, failure))
    loader.shapeHasFaces = true;
  if (failure.error != AssemblyError::None) return rejectAssembly(loader, failure);
  return true;
}

// Closes the current shape, keeping it only when it received a face.
bool endShape(ObjLoader& loader) {
  if (!flush(loader)) return false;
  closeShape(loader.shape);
  if (loader.shapeHasFaces) loader.shapes->push_back(std::move(loader.shape));
  loader.shape = ObjShape();
  openShape(loader.shape, loader.storage);
  loader.shapeHasFaces = false;
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
  AssemblyFailure failure;
  if (!addFace(loader.shape, loader.group, face.data(), face.size(), positions, loader.line, failure))
    return rejectAssembly(loader, failure);
  return true;
}

bool switchMaterial(ObjLoader& loader, const std::string& materialName) {
  auto it = loader.materialTable.find(materialName);
  int32_t id = it == loader.materialTable.end() ? -1 : it->second;
  if (id == loader.materialId) return true;
  if (!flush(loader)) return false;
  loader.materialId = id;
  loader.group.materialId = id;
  return true;
}

// Reads the library an "mtllib" line names. Parsing a library again cannot
// register a name (its first parse registered every name in it, and the
// first registration wins); it would only append copies of its materials
// that no "usemtl" can reach. A small file naming one large library on many
// lines would then take time and memory in the product of the two sizes. So
// a name is read once per load, and bytes already parsed under another name
// (say "./a.mtl" after "a.mtl") are not parsed again. Skipping the copies
// leaves every material switch, and so the mesh file, as it was; only the
// ids of later libraries' materials come out lower.
void readLibraryOnce(ObjLoader& loader, const std::string& name) {
  if (!loader.libraryNames.insert(name).second) return;
  auto parsed = loader.libraryContents.insert(readLibraryText(name, *loader.materialReader, *loader.errorText));
  if (!parsed.second) return;
  parseMaterialLibrary(parsed.first->data(), parsed.first->size(), *loader.materials, loader.materialTable);
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
          if (loader.keepTexcoords) readNumbers(p + 3, end, loader.in_texcoords, 2);
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
        readLibraryOnce(loader, firstWord(rest, end));
      return true;
    default:
      return true;
  }
}

void startLoad(ObjLoader& loader, const std::string& path, std::vector<ObjShape>& shapes,
               std::vector<ObjMaterial>& materials, std::string& errorText,
               MaterialReader& materialReader, const LoadOptions& options, uint64_t inputBytes) {
  loader.storage = makeShapeStorage(inputBytes);
  openShape(loader.shape, loader.storage);
  loader.path = path;
  loader.keepTexcoords = options.keepTexcoords;
  loader.group.recordMaterialIds = options.keepMaterialIds;
  loader.shapes = &shapes;
  loader.materials = &materials;
  loader.errorText = &errorText;
  loader.materialReader = &materialReader;
  shapes.clear();
}

// Feeds text; returns the bytes consumed (whole lines unless atEnd), or
// stops early once the load failed.
size_t feed(ObjLoader& loader, const char* data, size_t size, bool atEnd) {
  return forEachLine(data, size, atEnd, [&](const char* p, const char* end) { return readLine(loader, p, end); });
}

// Streams the input through one reused block, whole lines at a time; a
// line longer than the block grows it. The block keeps kLinePadding zero
// bytes after its data, which the statement readers rely on.
// readMore(into, room) returns the bytes read, 0 at the end, -1 on error.
template <class ReadMore>
void stream(ObjLoader& loader, size_t capacity, ReadMore&& readMore) {
  if (capacity == 0) capacity = 1;
  std::unique_ptr<char[]> block(new char[capacity + kLinePadding]);
  size_t held = 0;
  for (;;) {
    ssize_t got = readMore(block.get() + held, capacity - held);
    if (got < 0) return;
    bool atEnd = got == 0;
    held += size_t(got);
    std::memset(block.get() + held, 0, kLinePadding);
    size_t used = feed(loader, block.get(), held, atEnd);
    if (!loader.result.ok() || atEnd) return;
    std::memmove(block.get(), block.get() + used, held - used);
    held -= used;
    if (held == capacity) {
      std::unique_ptr<char[]> larger(new char[2 * capacity + kLinePadding]);
      std::memcpy(larger.get(), block.get(), held);
      block = std::move(larger);
      capacity *= 2;
    }
  }
}

LoadResult finishLoad(ObjLoader& loader) {
  if (loader.result.ok() && !endShape(loader)) loader.shapes->clear();
  if (!loader.result.ok()) loader.shapes->clear();
  return loader.result;
}

LoadResult cannotRead(const std::string& path, const char* what, int error, std::string& errorText) {
  LoadResult result;
  result.status = LoadStatus::CannotRead;
  result.path = path;
  result.reason = std::string(what) + ": " + std::strerror(error);
  errorText += "Cannot open file [" + path + "]\n";
  return result;
}

}  // namespace

LoadResult loadObjBuffer(const char* data, size_t size, const std::string& path,
                         std::vector<ObjShape>& shapes, std::vector<ObjMaterial>& materials,
                         std::string& errorText, MaterialReader& materialReader,
                         const LoadOptions& options) {
  ObjLoader loader;
  startLoad(loader, path, shapes, materials, errorText, materialReader, options, size);
  size_t offset = 0;
  stream(loader, options.firstBlockBytes, [&](char* into, size_t room) {
    size_t n = room < size - offset ? room : size - offset;
    std::memcpy(into, data + offset, n);
    offset += n;
    return ssize_t(n);
  });
  return finishLoad(loader);
}

LoadResult loadObjFile(const std::string& path, std::vector<ObjShape>& shapes,
                       std::vector<ObjMaterial>& materials, std::string& errorText,
                       MaterialReader& materialReader, const LoadOptions& options) {
  shapes.clear();
  // Non-blocking open so that a FIFO without a writer cannot hang the run.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return cannotRead(path, "cannot open", errno, errorText);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return cannotRead(path, "cannot read", error, errorText);
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return cannotRead(path, "cannot read", EISDIR, errorText);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  ObjLoader loader;
  startLoad(loader, path, shapes, materials, errorText, materialReader, options,
            S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0);
  int readError = 0;
  stream(loader, options.firstBlockBytes, [&](char* into, size_t room) {
    for (;;) {
      ssize_t got = read(fd, into, room);
      if (got >= 0 || errno != EINTR) {
        if (got < 0) readError = errno;
        return got;
      }
    }
  });
  close(fd);
  if (readError) {
    shapes.clear();
    return cannotRead(path, "cannot read", readError, errorText);
  }
  return finishLoad(loader);
}

LoadResult loadObjFile(const std::string& path, std::vector<ObjShape>& shapes,
                       std::vector<ObjMaterial>& materials, std::string& errorText) {
  FileMaterialReader reader;
  return loadObjFile(path, shapes, materials, errorText, reader);
}
