#include "obj_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "file_io.h"
#include "material_library.h"
#include "ordered_pipeline.h"
#include "padded_text.h"
#include "text_scan.h"

namespace obj2mesh {
namespace {

// Which components of a corner count back from the end of their list.
constexpr uint8_t kRelativeV = 1, kRelativeVt = 2, kRelativeVn = 4;

// The lists and counters the statement parser fills, whichever sink it
// feeds: the file-wide ones of a load, or those of one recorded text.
struct ParsedLists {
  PodArray<float> positionValues;
  PodArray<float> normalValues;
  size_t texcoords = 0;  // "vt" lines; their values never reach a file
  uint64_t line = 0;
  PodArray<CornerIndex> corners;

  PodArray<float>& positions() { return positionValues; }
  PodArray<float>& normals() { return normalValues; }
  void texcoord() { ++texcoords; }
  size_t positionCount() const { return positionValues.size() / 3; }
  size_t normalCount() const { return normalValues.size() / 3; }
  size_t texcoordsSoFar() const { return texcoords; }
};

// State of one load. The sequential reader feeds it line by line, and it
// applies each statement at once; the parallel reader feeds it the
// statements of whole texts recorded on other threads (TextRecord).
struct ObjLoader : ParsedLists {
  ObjLoader(const std::string& path, const MaterialLookup& lookup) : path(path), lookup(lookup) {}

  const std::string& path;
  const MaterialLookup& lookup;

  MaterialTable materials;
  ShapeAssembler assembler;
  std::string name;
  int32_t materialId = -1;

  bool failed = false;
  Failure failure;

  // What the statement parser asks of a sink besides the lists: here
  // `corners` holds the face being read, whose indices are already
  // resolved against the whole file.
  size_t startFace() {
    corners.clear();
    return 0;
  }
  void addCorner(const CornerIndex& corner, uint8_t) { corners.push_back(corner); }
  bool endFace(size_t first);
  bool group(std::string name);
  bool object(std::string name);
  bool useMaterial(const std::string& name);
  bool materialLibrary(const std::string& name);
  bool reject(std::string reason);
};

Attributes allRead(const ObjLoader& loader) { return Attributes::of(loader.positionValues, loader.normalValues); }

bool fail(ObjLoader& loader, uint64_t line, std::string reason) {
  loader.failed = true;
  loader.failure.line = line;
  loader.failure.reason = std::move(reason);
  return false;
}

bool failAssembly(ObjLoader& loader) {
  loader.failed = true;
  return false;
}

bool ObjLoader::reject(std::string reason) { return fail(*this, line, std::move(reason)); }

// Closes the current shape, keeping it only when it received a face.
bool endShape(ObjLoader& loader, const Attributes& in) {
  if (!loader.assembler.endShape(loader.name, in, loader.failure)) return failAssembly(loader);
  return true;
}

// A switch to another material closes the face group, so no vertex is
// shared across it.
bool switchMaterial(ObjLoader& loader, const std::string& materialName, const Attributes& in) {
  int32_t id = loader.materials.find(materialName);
  if (id == loader.materialId) return true;
  if (!loader.assembler.flushFaceGroup(in, loader.failure)) return failAssembly(loader);
  loader.materialId = id;
  return true;
}

bool ObjLoader::endFace(size_t first) {
  if (!assembler.addFace(corners.data() + first, corners.size() - first, positionCount(), line, failure))
    return failAssembly(*this);
  return true;
}

bool ObjLoader::group(std::string name) {
  if (!endShape(*this, allRead(*this))) return false;
  this->name = std::move(name);
  return true;
}

bool ObjLoader::object(std::string name) { return group(std::move(name)); }

bool ObjLoader::useMaterial(const std::string& name) { return switchMaterial(*this, name, allRead(*this)); }

bool ObjLoader::materialLibrary(const std::string& name) {
  materials.readLibrary(name, lookup);
  return true;
}

void readNumbers(const char* p, const char* end, PodArray<float>& out, int n) {
  float* values = out.extend(size_t(n));
  for (int i = 0; i < n; ++i) values[i] = parseNumberField(p, end);
}

std::string indexOutOfRange(int64_t n) {
  if (n < INT32_MIN || n > INT32_MAX)
    return std::string("face index ") + (n < 0 ? "below -2147483648" : "above 2147483647") +
           " is outside the 32-bit range";
  return "relative face index is outside the 32-bit range";
}

// Reads one index of a corner and resolves it against the number of
// elements read so far: n > 0 is 1-based, 0 reads as 1, n < 0 counts back
// from the end (and sets `bit` in `relative`). Returns where the corner's
// reading goes on, or nullptr when the index cannot be represented.
template <class Sink>
inline const char* readIndex(Sink& sink, const char* p, const char* end, size_t count, int32_t& out,
                             uint8_t& relative, uint8_t bit) {
  int64_t n;
  p = readCornerInteger(p, end, n);
  int64_t resolved = n > 0 ? n - 1 : n == 0 ? 0 : int64_t(count) + n;
  if (n < INT32_MIN || n > INT32_MAX || resolved > INT32_MAX) {
    sink.reject(indexOutOfRange(n));
    return nullptr;
  }
  if (n < 0) relative |= bit;
  out = int32_t(resolved);
  return p;
}

template <class Sink>
bool readFace(Sink& sink, const char* p, const char* end) {
  const size_t positions = sink.positionCount(), texcoords = sink.texcoordsSoFar(), normals = sink.normalCount();
  const size_t first = sink.startFace();
  while (p != end && isBlank(*p)) ++p;
  if (p == end || *p != '\r') {
    while (p != end) {
      CornerIndex c;
      uint8_t r = 0;
      if (!(p = readIndex(sink, p, end, positions, c.v_idx, r, kRelativeV))) return false;
      if (p != end && *p == '/') {
        ++p;
        if (p != end && *p == '/') {
          if (!(p = readIndex(sink, p + 1, end, normals, c.vn_idx, r, kRelativeVn))) return false;
        } else {
          if (!(p = readIndex(sink, p, end, texcoords, c.vt_idx, r, kRelativeVt))) return false;
          if (p != end && *p == '/' && !(p = readIndex(sink, p + 1, end, normals, c.vn_idx, r, kRelativeVn)))
            return false;
        }
      }
      sink.addCorner(c, r);
      while (p != end && (isBlank(*p) || *p == '\r')) ++p;
    }
  }
  return sink.endFace(first);
}

// The first group name: the second word of the line, words being split at
// spaces, tabs and carriage returns.
std::string groupName(const char* p, const char* end) {
  while (p != end && (isBlank(*p) || *p == '\r')) ++p;
  const char* start = p;
  while (p != end && !isBlank(*p) && *p != '\r') ++p;
  return std::string(start, p);
}

template <class Sink>
bool readLine(Sink& sink, const char* p, const char* end) {
  ++sink.line;
  while (p != end && isBlank(*p)) ++p;
  if (end - p < 2) return true;  // every statement is a keyword and a blank
  const char* rest;
  switch (*p) {
    case 'v':
      if (isBlank(p[1])) {
        readNumbers(p + 2, end, sink.positions(), 3);
      } else if (end - p >= 3 && isBlank(p[2])) {
        if (p[1] == 'n') {
          readNumbers(p + 3, end, sink.normals(), 3);
        } else if (p[1] == 't') {
          sink.texcoord();
        }
      }
      return true;
    case 'f':
      return isBlank(p[1]) ? readFace(sink, p + 2, end) : true;
    case 'g':
      return isBlank(p[1]) ? sink.group(groupName(p + 2, end)) : true;
    case 'o':
      return isBlank(p[1]) ? sink.object(firstWord(p + 2, end)) : true;
    case 'u':
      if ((rest = afterKeyword(p, end, "usemtl"))) return sink.useMaterial(firstWord(rest, end));
      return true;
    case 'm':
      if ((rest = afterKeyword(p, end, "mtllib"))) return sink.materialLibrary(firstWord(rest, end));
      return true;
    default:
      return true;
  }
}

// The statements of one text (whole lines), parsed on any thread and
// applied to the load later, in file order. Counts and lines are the
// text's own; applying adds those of the texts before it.
struct TextRecord : ParsedLists {
  enum Kind : uint8_t { Face, Group, Object, UseMaterial, MaterialLibrary, Reject };
  // Counts within one text fit 32 bits: a text is a chunk of whole lines.
  struct Statement {
    Kind kind;
    bool relative;       // a face corner counts back from the end of a list
    uint32_t line;
    uint32_t positions;  // "v" lines of the text before the statement
    uint32_t normals;    // "vn" lines
    size_t begin, end;   // corners of a face; bytes of `names` otherwise
  };

  PodArray<Statement> statements;
  PodArray<uint8_t> relative;  // per corner of `corners`
  std::string names;

  void clear() {
    positionValues.clear();
    normalValues.clear();
    texcoords = 0;
    line = 0;
    statements.clear();
    corners.clear();
    relative.clear();
    names.clear();
  }

  size_t startFace() const { return corners.size(); }
  void addCorner(const CornerIndex& corner, uint8_t relativeBits) {
    corners.push_back(corner);
    relative.push_back(relativeBits);
  }

  void add(Kind kind, size_t begin, size_t end, bool relativeCorners = false) {
    statements.push_back({kind, relativeCorners, uint32_t(line), uint32_t(positionCount()), uint32_t(normalCount()),
                          begin, end});
  }
  bool named(Kind kind, const std::string& name) {
    names += name;
    add(kind, names.size() - name.size(), names.size());
    return true;
  }
  bool endFace(size_t first) {
    bool anyRelative = false;
    for (size_t i = first; i < relative.size(); ++i) anyRelative |= relative[i] != 0;
    add(Face, first, corners.size(), anyRelative);
    return true;
  }
  bool group(const std::string& name) { return named(Group, name); }
  bool object(const std::string& name) { return named(Object, name); }
  bool useMaterial(const std::string& name) { return named(UseMaterial, name); }
  bool materialLibrary(const std::string& name) { return named(MaterialLibrary, name); }
  // Parsing stops at a rejected line; applying reports it.
  bool reject(const std::string& reason) {
    named(Reject, reason);
    return false;
  }
};

void recordText(TextRecord& record, const PaddedText& text) {
  record.clear();
  forEachLine(text, true, [&](const char* p, const char* end) { return readLine(record, p, end); });
}

// Applies a recorded text to the load: its values join the file-wide
// lists, then its statements act in order. False once the load failed.
bool applyText(ObjLoader& loader, TextRecord& text) {
  const size_t positionBase = loader.positionValues.size() / 3, normalBase = loader.normalValues.size() / 3;
  const size_t texcoordBase = loader.texcoords;
  const uint64_t lineBase = loader.line;
  if (!text.positionValues.empty())
    std::memcpy(loader.positionValues.extend(text.positionValues.size()), text.positionValues.data(),
                text.positionValues.size() * sizeof(float));
  if (!text.normalValues.empty())
    std::memcpy(loader.normalValues.extend(text.normalValues.size()), text.normalValues.data(),
                text.normalValues.size() * sizeof(float));
  loader.texcoords += text.texcoords;

  for (const TextRecord::Statement& st : text.statements) {
    loader.line = lineBase + st.line;
    const Attributes in{loader.positionValues.data(), positionBase + st.positions, loader.normalValues.data(),
                        normalBase + st.normals};
    const std::string name = st.kind == TextRecord::Face ? std::string() : text.names.substr(st.begin, st.end - st.begin);
    switch (st.kind) {
      case TextRecord::Face: {
        CornerIndex* corners = text.corners.data() + st.begin;
        const size_t count = st.end - st.begin;
        if (st.relative) {
          // Indices that count back were resolved against the text's own
          // lists; the lists of the texts before it come first.
          for (size_t i = 0; i < count; ++i) {
            const uint8_t r = text.relative[st.begin + i];
            int64_t v = corners[i].v_idx + (r & kRelativeV ? int64_t(positionBase) : 0);
            int64_t vt = corners[i].vt_idx + (r & kRelativeVt ? int64_t(texcoordBase) : 0);
            int64_t vn = corners[i].vn_idx + (r & kRelativeVn ? int64_t(normalBase) : 0);
            if (v > INT32_MAX || vt > INT32_MAX || vn > INT32_MAX)
              return fail(loader, loader.line, indexOutOfRange(-1));
            corners[i] = {int32_t(v), int32_t(vt), int32_t(vn)};
          }
        }
        if (!loader.assembler.addFace(corners, count, in.positionCount, loader.line, loader.failure))
          return failAssembly(loader);
        break;
      }
      case TextRecord::Group:
      case TextRecord::Object:
        if (!endShape(loader, in)) return false;
        loader.name = name;
        break;
      case TextRecord::UseMaterial:
        if (!switchMaterial(loader, name, in)) return false;
        break;
      case TextRecord::MaterialLibrary:
        loader.materialLibrary(name);
        break;
      case TextRecord::Reject:
        return fail(loader, loader.line, name);
    }
  }
  loader.line = lineBase + text.line;
  return true;
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

// Reads the text in chunks of about `chunkBytes`, cut after a line feed,
// records each chunk's statements on `threads` threads and applies them in
// file order. readMore as for stream.
template <class ReadMore>
void streamInChunks(ObjLoader& loader, unsigned threads, size_t chunkBytes, ReadMore&& readMore) {
  struct Slot {
    PaddedText text;
    TextRecord record;
  };
  // The calling thread reads and applies, so one thread fewer parses. One
  // chunk being made, one being applied, one per thread being parsed: what
  // is in flight adds to the lists, so it is kept small.
  const unsigned parsers = threads - 1;
  const size_t window = size_t(parsers) + 2;
  std::vector<Slot> slots(window);
  if (chunkBytes == 0) chunkBytes = 1;
  PaddedText carry;  // the unfinished line after the last chunk
  bool hidden = false, atEnd = false;

  auto make = [&](size_t item) {
    if (atEnd) return false;
    PaddedText& text = slots[item % window].text;
    text.resize(0);
    text.reserve(std::max(chunkBytes, 2 * carry.size()));
    if (carry.size()) std::memcpy(text.data(), carry.data(), carry.size());
    text.resize(carry.size());
    const char* lastNewline = nullptr;
    while (!atEnd) {
      if (text.size() >= chunkBytes &&
          (lastNewline = static_cast<const char*>(memrchr(text.data(), '\n', text.size()))))
        break;
      if (text.size() == text.capacity()) text.reserve(2 * text.capacity());
      ssize_t got = readMore(text.data() + text.size(), text.capacity() - text.size());
      if (got <= 0) {
        atEnd = true;
        break;
      }
      text.resize(text.size() + keepVisible(text.data() + text.size(), size_t(got), hidden));
    }
    if (atEnd) {
      carry.resize(0);
    } else {
      const size_t cut = size_t(lastNewline - text.data()) + 1;
      carry.resize(0);
      carry.reserve(text.size() - cut);
      std::memcpy(carry.data(), text.data() + cut, text.size() - cut);
      carry.resize(text.size() - cut);
      text.resize(cut);
    }
    return text.size() > 0;
  };
  auto work = [&](size_t item) { recordText(slots[item % window].record, slots[item % window].text); };
  auto take = [&](size_t item) { return applyText(loader, slots[item % window].record); };
  runInOrder(parsers, window, make, work, take);
}

// How many threads read an input of `size` bytes (0 when unknown): one,
// unless OBJ2MESH_THREADS asks for more; then up to that many, as the CPUs
// allow, but one per kBytesPerThread at most, so that small inputs stay on
// one thread. On the machine measured, whose two CPUs slow each other down,
// a second thread took up to 1.7 times the CPU time on some inputs, for no
// gain.
unsigned readingThreads(const ReadOptions& options, uint64_t size) {
  if (options.threads) return options.threads;
  constexpr uint64_t kBytesPerThread = uint64_t(4) << 20;
  unsigned long wanted = 1;
  if (const char* value = std::getenv("OBJ2MESH_THREADS")) {
    char* end = nullptr;
    unsigned long n = std::strtoul(value, &end, 10);
    if (end != value && *end == '\0' && n > 0) wanted = n;
  }
  const unsigned long cpus = availableCpus(), bySize = std::max<uint64_t>(1, size / kBytesPerThread);
  return unsigned(std::min({wanted, cpus, bySize}));
}

// Reads with one thread, or with several.
template <class ReadMore>
void read(ObjLoader& loader, const ReadOptions& options, uint64_t size, ReadMore&& readMore) {
  const unsigned threads = readingThreads(options, size);
  // A small input needs no more than its own size (and the read that finds
  // its end).
  const size_t block = size && size < options.firstBlockBytes ? size_t(size) + 1 : options.firstBlockBytes;
  if (threads <= 1)
    stream(loader, block, readMore);
  else
    streamInChunks(loader, threads, options.chunkBytes, readMore);
}

bool finishLoad(ObjLoader& loader, ObjShapes& shapes, Failure& failure) {
  if (!loader.failed) endShape(loader, allRead(loader));
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
  read(loader, options, size, [&](char* into, size_t room) {
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
  struct stat st;
  const uint64_t size = fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
  ObjLoader loader(path, lookup);
  int readError = 0;
  read(loader, options, size, [&](char* into, size_t room) {
    ssize_t got = readSome(file.get(), into, room);
    if (got < 0) readError = errno;
    return got;
  });
  if (readError) return cannotRead(path, "cannot read", readError, failure);
  return finishLoad(loader, shapes, failure);
}

}  // namespace obj2mesh
