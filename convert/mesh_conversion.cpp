#include "mesh_conversion.h"

#include <cstring>

#include "mesh_generated.h"

namespace {

using obj2mesh::Vec3;

static_assert(sizeof(Vec3) == 3 * sizeof(float), "Vec3 is three packed floats");

// The buffer is written once from end to start and then to disk; huge pages
// make its first touch (and the write from it) far cheaper.
class HugePageAllocator : public flatbuffers::Allocator {
 public:
  uint8_t* allocate(size_t size) override { return static_cast<uint8_t*>(podAllocate(size)); }
  void deallocate(uint8_t* p, size_t size) override { podFree(p, size); }
};

HugePageAllocator hugePageAllocator;

// Mirrors the builder's arithmetic: every object here is 4-byte aligned,
// vectors carry a 4-byte length, a table is its fields plus a 4-byte vtable
// offset, and a vtable (4 + 2 per field bytes) is written only the first
// time its layout occurs.
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

flatbuffers::Offset<obj2mesh::Mesh> endMesh(flatbuffers::FlatBufferBuilder& builder,
                                            flatbuffers::Offset<flatbuffers::Vector<const Vec3*>> positions,
                                            flatbuffers::Offset<flatbuffers::Vector<const Vec3*>> normals,
                                            flatbuffers::Offset<flatbuffers::Vector<uint32_t>> indices) {
  // Fields are added last to first: the layout of every file depends on it.
  auto start = builder.StartTable();
  builder.AddOffset(obj2mesh::Mesh::VT_INDICES, indices);
  builder.AddOffset(obj2mesh::Mesh::VT_NORMALS, normals);
  builder.AddOffset(obj2mesh::Mesh::VT_POSITIONS, positions);
  return flatbuffers::Offset<obj2mesh::Mesh>(builder.EndTable(start));
}

const Vec3* asVec3(const PodArray<float>& values) {
  return reinterpret_cast<const Vec3*>(values.data());
}

// One vector of Vec3 holding the given float lists one after another;
// each list is released once copied.
flatbuffers::Offset<flatbuffers::Vector<const Vec3*>> mergedVec3(
    flatbuffers::FlatBufferBuilder& builder, std::vector<ObjShape>& shapes,
    PodArray<float> ObjShape::*list) {
  size_t total = 0;
  for (const ObjShape& shape : shapes) total += (shape.*list).size() / 3;
  struct Fill {
    std::vector<ObjShape>* shapes;
    PodArray<float> ObjShape::*list;
  } fill{&shapes, list};
  return builder.CreateVectorOfStructs<Vec3>(
      total,
      [](size_t i, Vec3* out, Fill* f) {
        if (i != 0) return;
        for (ObjShape& shape : *f->shapes) {
          PodArray<float>& values = shape.*(f->list);
          size_t n = values.size() / 3;
          if (n) std::memcpy(static_cast<void*>(out), values.data(), n * sizeof(Vec3));
          out += n;
          values.release();
        }
      },
      &fill);
}

}  // namespace

uint64_t meshBufferSize(const std::vector<ObjShape>& shapes, bool combineMeshes) {
  SizeCounter counter;
  uint64_t meshes = 0;
  if (combineMeshes) {
    uint64_t positions = 0, normals = 0, indices = 0;
    for (const ObjShape& shape : shapes) {
      positions += shape.positions.size() / 3;
      normals += shape.normals.size() / 3;
      indices += shape.indices.size();
    }
    countMesh(counter, positions, normals, indices, true);
    meshes = 1;
  } else {
    for (const ObjShape& shape : shapes) {
      countMesh(counter, shape.positions.size() / 3, shape.normals.size() / 3,
                shape.indices.size(), meshes == 0);
      ++meshes;
    }
  }
  counter.vector(meshes, sizeof(uint32_t));
  counter.table(1, true);
  counter.finish();
  return counter.size;
}

bool convertShapes(std::vector<ObjShape>& shapes, bool combineMeshes,
                   flatbuffers::FlatBufferBuilder& builder) {
  uint64_t size = meshBufferSize(shapes, combineMeshes);
  if (size > kMaxMeshBufferSize) return false;
  // The builder also keeps a little scratch space for vtable bookkeeping.
  builder = flatbuffers::FlatBufferBuilder(size_t(size) + 256, &hugePageAllocator);

  std::vector<flatbuffers::Offset<obj2mesh::Mesh>> meshes;
  if (combineMeshes) {
    std::vector<uint32_t> bases;
    bases.reserve(shapes.size());
    uint32_t base = 0;
    for (const ObjShape& shape : shapes) {
      bases.push_back(base);
      base += uint32_t(shape.vertexCount());
    }
    auto positions = mergedVec3(builder, shapes, &ObjShape::positions);
    auto normals = mergedVec3(builder, shapes, &ObjShape::normals);
    size_t total = 0;
    for (const ObjShape& shape : shapes) total += shape.indices.size();
    uint32_t* out = nullptr;
    auto indices = builder.CreateUninitializedVector<uint32_t>(total, &out);
    for (size_t s = 0; s < shapes.size(); ++s) {
      // Indices are offset by the positions merged before the shape, with
      // 32-bit wrap-around.
      PodArray<uint32_t>& in = shapes[s].indices;
      for (size_t i = 0, n = in.size(); i < n; ++i) out[i] = in[i] + bases[s];
      out += in.size();
      in.release();
    }
    meshes.push_back(endMesh(builder, positions, normals, indices));
  } else {
    meshes.reserve(shapes.size());
    for (ObjShape& shape : shapes) {
      auto positions = builder.CreateVectorOfStructs(asVec3(shape.positions), shape.positions.size() / 3);
      auto normals = builder.CreateVectorOfStructs(asVec3(shape.normals), shape.normals.size() / 3);
      auto indices = builder.CreateVector(shape.indices.data(), shape.indices.size());
      meshes.push_back(endMesh(builder, positions, normals, indices));
      shape.positions.release();
      shape.normals.release();
      shape.indices.release();
    }
  }
  auto meshVector = builder.CreateVector(meshes);
  auto model = obj2mesh::CreateModel(builder, meshVector);
  builder.Finish(model);
  return true;
}
