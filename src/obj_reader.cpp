// The state of one load and the one step that changes it: chunk records
// are applied in file order. Applying resolves relative indices against the
// whole file, switches shapes and materials, reads material libraries and
// feeds faces to the shape assembler.

#include "obj_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "file_io.h"
#include "material_library.h"

namespace obj2mesh {
namespace {

struct ObjLoad {
  ObjLoad(const std::string& path, const MaterialLookup& lookup, bool texcoords)
      : path(path), lookup(lookup), assembler(ShapeAssembler::kMaxShapeVertices, texcoords) {
    // Every failure but a read's is the content's.
    failure.kind = FailureKind::Rejected;
  }

  const std::string& path;
  const MaterialLookup& lookup;

  // The file-wide lists, and the lines and "vt" lines read so far.
  PodArray<float> positions;
  PodArray<float> normals;
  PodArray<float> texcoordValues;  // 2 per "vt" line, when kept
  uint64_t texcoords = 0;
  uint64_t lines = 0;

  MaterialTable materials;
  ShapeAssembler assembler;
  std::string name;
  int32_t materialId = -1;

  Failure failure;
  std::string failurePath;  // when the failure concerns another file than the OBJ file
};

Attributes allRead(const ObjLoad& load) {
  return Attributes::of(load.positions, load.normals, load.texcoordValues);
}

bool fail(ObjLoad& load, uint64_t line, std::string reason) {
  load.failure.line = line;
  load.failure.reason = std::move(reason);
  return false;
}

void append(PodArray<float>& to, const PodArray<float>& from) {
  const size_t n = from.size();
  float* __restrict out = to.extend(n);
  const float* __restrict in = from.data();
  size_t i = 0;
  // Blocks of 16 values: fewer loop steps for the vectorised copy.
  for (; i + 16 <= n; i += 16)
    for (size_t k = 0; k < 16; ++k) out[i + k] = in[i + k];
  for (; i < n; ++i) out[i] = in[i];
}

// Applies one chunk's record. False once the load failed.
class Apply {
 public:
  Apply(ObjLoad& load, ChunkRecord& record)
      : load_(load),
        r_(record),
        positionBase_(load.positions.size() / 3),
        normalBase_(load.normals.size() / 3),
        texcoordBase_(load.texcoords),
        lineBase_(load.lines) {}

  bool run() {
    append(load_.positions, r_.positions);
    append(load_.normals, r_.normals);
    append(load_.texcoordValues, r_.texcoordValues);
    load_.texcoords += r_.texcoords;
    countBack();
    for (const ChunkRecord::Statement& st : r_.statements) {
      // The faces before the statement are checked against the vertices
      // read up to it: no earlier than their face group closes.
      const Attributes in{load_.positions.data(),      size_t(positionBase_ + st.positions),
                          load_.normals.data(),        size_t(normalBase_ + st.normals),
                          load_.texcoordValues.data(), size_t(texcoordBase_ + st.texcoords)};
      if (!faces(st.faces, in.positionCount)) return false;
      const uint64_t line = lineBase_ + st.line;
      const std::string name(r_.names, st.nameBegin, st.nameEnd - st.nameBegin);
      switch (st.kind) {
        case ChunkRecord::Group:
        case ChunkRecord::Object:
          if (!load_.assembler.endShape(load_.name, in, load_.materialId, load_.failure)) return false;
          load_.name = name;
          break;
        case ChunkRecord::UseMaterial: {
          // A switch to another material closes the face group, so no
          // vertex is shared across it.
          const int32_t id = load_.materials.find(name);
          if (id == load_.materialId) break;
          if (!load_.assembler.flushFaceGroup(in, load_.materialId, load_.failure)) return false;
          load_.materialId = id;
          break;
        }
        case ChunkRecord::MaterialLibrary:
          try {
            load_.materials.readLibrary(name, load_.lookup);
          } catch (const UnreadableLibrary& library) {
            load_.failurePath = library.path;
            load_.failure.kind = FailureKind::CannotRead;
            return fail(load_, 0, std::string("cannot read: ") + std::strerror(library.error));
          }
          break;
        case ChunkRecord::Reject:
          return fail(load_, line, name);
      }
    }
    if (!faces(r_.faces.size(), load_.positions.size() / 3)) return false;
    load_.lines += r_.lines;
    return true;
  }

 private:
  // Feeds the faces up to `end` to the assembler; the face whose index
  // cannot count back that far fails the load when its turn comes.
  bool faces(uint64_t end, size_t positionCount) {
    const uint64_t stop = std::min(end, badFace_);
    if (face_ < stop) {
      const uint64_t cornerBegin = face_ ? r_.faces[face_ - 1].cornerEnd : 0;
      if (!load_.assembler.addFaces(r_.corners.data(), cornerBegin, r_.faces.data() + face_, size_t(stop - face_),
                                    positionCount, lineBase_, load_.failure))
        return false;
      face_ = stop;
    }
    if (face_ == badFace_ && end > badFace_)
      return fail(load_, lineBase_ + r_.faces[badFace_].line, "relative face index is outside the 32-bit range");
    return true;
  }

  // Indices that count back were resolved against the chunk's own lists;
  // the lists of the chunks before it come first.
  void countBack() {
    for (const ChunkRecord::Relative& rel : r_.relative) {
      CornerIndex& c = r_.corners[rel.corner];
      int32_t& index = rel.component == ChunkRecord::V ? c.v_idx : rel.component == ChunkRecord::Vt ? c.vt_idx : c.vn_idx;
      const uint64_t base = rel.component == ChunkRecord::V ? positionBase_
                            : rel.component == ChunkRecord::Vt ? texcoordBase_ : normalBase_;
      const int64_t resolved = index + int64_t(base);
      if (resolved > INT32_MAX) {
        // The first face holding such an index (none when its face was
        // rejected, which the record's Reject reports).
        badFace_ = 0;
        while (badFace_ < r_.faces.size() && r_.faces[badFace_].cornerEnd <= rel.corner) ++badFace_;
        return;
      }
      index = int32_t(resolved);
    }
  }

  ObjLoad& load_;
  ChunkRecord& r_;
  const uint64_t positionBase_, normalBase_, texcoordBase_, lineBase_;
  uint64_t face_ = 0;              // faces of the record applied so far
  uint64_t badFace_ = UINT64_MAX;  // the face that fails countBack
};

// How many threads read an input of `size` bytes (0 when unknown).
unsigned readingThreads(const ReadOptions& options, uint64_t size) {
  if (options.threads) return options.threads;
  // Below this a thread costs more to start and feed than it saves.
  constexpr uint64_t kBytesPerThread = uint64_t(4) << 20;
  unsigned threads = std::min<uint64_t>(availableCpus(), std::max<uint64_t>(1, size / kBytesPerThread));
  if (options.maxThreads) threads = std::min(threads, options.maxThreads);
  return threads;
}

bool read(ObjLoad& load, const ReadOptions& options, uint64_t size, const ReadMore& readMore, int& readError) {
  ChunkOptions chunks = options;
  chunks.threads = readingThreads(options, size);
  // A small input needs a chunk no larger than itself (and the read that
  // finds its end).
  if (size && size < chunks.chunkBytes) chunks.chunkBytes = size_t(size) + 1;
  const ChunksEnd end =
      readChunks(chunks, readMore, [&](ChunkRecord& record) { return Apply(load, record).run(); });
  if (end == ChunksEnd::Stopped) return false;
  if (end == ChunksEnd::ReadFailed) {
    load.failure.line = 0;
    load.failure.reason = std::string("cannot read: ") + std::strerror(readError);
    load.failure.kind = FailureKind::CannotRead;
    return false;
  }
  return load.assembler.endShape(load.name, allRead(load), load.materialId, load.failure);
}

bool finishLoad(ObjLoad& load, bool ok, ObjShapes& shapes, Failure& failure) {
  if (!ok) {
    failure = std::move(load.failure);
    failure.path = load.failurePath.empty() ? load.path : load.failurePath;
    return false;
  }
  shapes = std::move(load.assembler.shapes());
  shapes.materials = std::move(load.materials.materials());
  shapes.spare = std::move(load.positions.size() >= load.normals.size() ? load.positions : load.normals);
  return true;
}

}  // namespace

bool readObjBuffer(const char* data, size_t size, const std::string& path, const MaterialLookup& lookup,
                   ObjShapes& shapes, Failure& failure, const ReadOptions& options) {
  ObjLoad load(path, lookup, options.texcoords);
  size_t offset = 0;
  int readError = 0;
  const bool ok = read(load, options, size,
                       [&](char* into, size_t room) {
                         const size_t n = std::min(room, size - offset);
                         if (n) std::memcpy(into, data + offset, n);
                         offset += n;
                         return ssize_t(n);
                       },
                       readError);
  return finishLoad(load, ok, shapes, failure);
}

bool readObjFile(const std::string& path, const MaterialLookup& lookup, ObjShapes& shapes, Failure& failure,
                 const ReadOptions& options) {
  FileDescriptor file(openForReading(path, true));
  if (file.get() < 0) {
    const int error = errno;
    failure.path = path;
    failure.line = 0;
    failure.reason = std::string(error == EISDIR ? "cannot read" : "cannot open") + ": " + std::strerror(error);
    failure.kind = FailureKind::CannotRead;
    return false;
  }
  noteReadFile(file.get(), path);
  struct stat st;
  const uint64_t size = fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
  ObjLoad load(path, lookup, options.texcoords);
  int readError = 0;
  const bool ok = read(load, options, size,
                       [&](char* into, size_t room) {
                         const ssize_t got = readSome(file.get(), into, room);
                         if (got < 0) readError = errno;
                         return got;
                       },
                       readError);
  return finishLoad(load, ok, shapes, failure);
}

}  // namespace obj2mesh
