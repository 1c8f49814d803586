#include "mesh_conversion.h"

#include <cstring>
#include <string>
#include <vector>

#include "obj2mesh/mesh_generated.h"

namespace obj2mesh {
namespace {

static_assert(sizeof(Vec3) == 3 * sizeof(float), "Vec3 is three packed floats");

// The buffer is written once from end to start and then to disk; huge pages
// make its first touch (and the write from it) far cheaper. While a
// conversion runs on this thread, the buffer grows out of the memory of a
// list the load no longer needed (`spareMemory`), so that those pages are
// not cleared a second time.
thread_local PodArray<float>* spareMemory = nullptr;

class HugePageAllocator : public flatbuffers::Allocator {
 public:
  uint8_t* allocate(size_t size) override {
    // Only whole huge pages move into the buffer; smaller lists would be
    // copied.
    constexpr size_t kMovedWhole = size_t(4) << 20;
    if (spareMemory && spareMemory->size() * sizeof(float) >= kMovedWhole) {
      size_t spareBytes = 0;
      void* block = spareMemory->detach(spareBytes);
      try {
        return static_cast<uint8_t*>(podReallocate(block, spareBytes, size));
      } catch (...) {
        podFree(block, spareBytes);  // a failed reallocation leaves the block as it was
        throw;
      }
    }
    if (spareMemory) spareMemory->release();
    return static_cast<uint8_t*>(podAllocate(size));
  }
  void deallocate(uint8_t* p, size_t size) override { podFree(p, size); }
};

HugePageAllocator hugePageAllocator;

struct SpareMemoryScope {
  explicit SpareMemoryScope(PodArray<float>& spare) { spareMemory = &spare; }
  ~SpareMemoryScope() { spareMemory = nullptr; }
};

// Mirrors the arithmetic of FlatBuffers 2.0's FlatBufferBuilder, the
// version the build requires (a test compares it with built buffers): every
// object here is 4-byte aligned, vectors carry a 4-byte length, a table is
// its fields plus a 4-byte vtable offset, and a vtable (4 + 2 per field
// bytes) is written only the first time its layout occurs.
struct SizeCounter {
  uint64_t size = 0;
  void align() { size = (size + 3) & ~uint64_t(3); }
  void vector(uint64_t elements, uint64_t elementSize) {
    align();
    size += elements * elementSize + 4;
  }
  void table(uint64_t fields, bool newVtable) {
    align();
    size += 4 * fields + 4;
    if (newVtable) size += 4 + 2 * fields;
  }
  void finish() {
    align();
    size += 4;
  }
};

void countMesh(SizeCounter& counter, uint64_t positions, uint64_t normals, uint64_t indices,
               bool first) {
  counter.vector(positions, sizeof(Vec3));
  counter.vector(normals, sizeof(Vec3));
  counter.vector(indices, sizeof(uint32_t));
  counter.table(3, first);
}

const Vec3* asVec3(const PodArray<float>& values, size_t element) {
  return reinterpret_cast<const Vec3*>(values.data()) + element;
}

}  // namespace

uint64_t meshBufferSize(const ObjShapes& shapes, bool combineMeshes) {
  SizeCounter counter;
  uint64_t meshes = 0;
  if (combineMeshes) {
    countMesh(counter, shapes.vertexCount(), shapes.normalCount(), shapes.indexCount(), true);
    meshes = 1;
  } else {
    for (size_t s = 0; s < shapes.count(); ++s, ++meshes)
      countMesh(counter, shapes.vertices(s).size(), shapes.normalRange(s).size(), shapes.indexRange(s).size(),
                meshes == 0);
  }
  counter.vector(meshes, sizeof(uint32_t));
  counter.table(1, true);
  counter.finish();
  return counter.size;
}

bool convertShapes(ObjShapes& shapes, bool combineMeshes, flatbuffers::DetachedBuffer& out, Failure& failure) {
  uint64_t size = meshBufferSize(shapes, combineMeshes);
  if (size > kMaxMeshBufferSize) {
    failure.line = 0;
    failure.kind = FailureKind::TooLarge;
    failure.reason = "the mesh file would take " + std::to_string(size) + " bytes, more than the " +
                     std::to_string(kMaxMeshBufferSize) + " a mesh file can hold";
    return false;
  }
  // The builder also keeps a little scratch space for vtable bookkeeping.
  SpareMemoryScope spare(shapes.spare);
  flatbuffers::FlatBufferBuilder builder(size_t(size) + 256, &hugePageAllocator);

  std::vector<flatbuffers::Offset<Mesh>> meshes;
  if (combineMeshes) {
    auto positions = builder.CreateVectorOfStructs(asVec3(shapes.positions, 0), shapes.vertexCount());
    shapes.positions.release();
    auto normals = builder.CreateVectorOfStructs(asVec3(shapes.normals, 0), shapes.normalCount());
    shapes.normals.release();
    uint32_t* indices = nullptr;
    auto indexVector = builder.CreateUninitializedVector<uint32_t>(shapes.indexCount(), &indices);
    for (size_t s = 0; s < shapes.count(); ++s) {
      // Indices are offset by the positions merged before the shape; the
      // size limit keeps every sum within 32 bits.
      const uint32_t base = uint32_t(shapes.vertices(s).begin);
      const ObjShapes::Range range = shapes.indexRange(s);
      const uint32_t* in = shapes.indices.data();
      for (size_t i = range.begin; i < range.end; ++i) indices[i] = in[i] + base;
    }
    shapes.indices.release();
    meshes.push_back(CreateMesh(builder, positions, normals, indexVector));
  } else {
    meshes.reserve(shapes.count());
    // The lists give back their memory as their shapes are copied out, so
    // that they and the buffer are never both whole.
    constexpr size_t kDiscardStep = size_t(1) << 22;
    size_t discarded = 0;
    for (size_t s = 0; s < shapes.count(); ++s) {
      const ObjShapes::Range vertices = shapes.vertices(s), normalRange = shapes.normalRange(s),
                             indexRange = shapes.indexRange(s);
      auto positions = builder.CreateVectorOfStructs(asVec3(shapes.positions, vertices.begin), vertices.size());
      auto normals = builder.CreateVectorOfStructs(asVec3(shapes.normals, normalRange.begin), normalRange.size());
      auto indices = builder.CreateVector(shapes.indices.data() + indexRange.begin, indexRange.size());
      meshes.push_back(CreateMesh(builder, positions, normals, indices));
      if (12 * (vertices.end - discarded) >= kDiscardStep || s + 1 == shapes.count()) {
        shapes.positions.discardFront(3 * vertices.end);
        shapes.normals.discardFront(3 * normalRange.end);
        shapes.indices.discardFront(indexRange.end);
        discarded = vertices.end;
      }
    }
    shapes.positions.release();
    shapes.normals.release();
    shapes.indices.release();
  }
  auto meshVector = builder.CreateVector(meshes);
  auto model = CreateModel(builder, meshVector);
  builder.Finish(model);
  out = builder.Release();
  return true;
}

}  // namespace obj2mesh
