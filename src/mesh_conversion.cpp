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

// What one Mesh holds: its vertices, normals and indices.
struct MeshSpan {
  ObjShapes::Range vertices, normals, indices;
};

MeshSpan combined(const ObjShapes& shapes) {
  return {{0, shapes.vertexCount()}, {0, shapes.normalCount()}, {0, shapes.indexCount()}};
}

MeshSpan separate(const ObjShapes& shapes, size_t s) {
  return {shapes.vertices(s), shapes.normalRange(s), shapes.indexRange(s)};
}

// Where the walks over parts and normal gaps stand: meshes come in vertex
// and index order, so each walk goes on from where the last mesh left it.
struct Cursor {
  size_t group = 0, shape = 0, gap = 0;
};

// Calls emit(first index, index count, material, shape) for each part of
// the mesh, its first index counted in the whole file's indices.
template <class Emit>
void forEachPart(const ObjShapes& shapes, const MeshSpan& mesh, Cursor& at, Emit&& emit) {
  const PodArray<ObjShapes::Group>& groups = shapes.groups;
  for (; at.group < groups.size() && groups[at.group].indexEnd <= mesh.indices.end; ++at.group) {
    const size_t begin = at.group ? groups[at.group - 1].indexEnd : 0, end = groups[at.group].indexEnd;
    while (shapes.shapes[at.shape].indexEnd < end) ++at.shape;
    emit(begin, end - begin, int32_t(groups[at.group].material), at.shape);
  }
}

// How many parts the mesh has; `at` moves past them.
size_t partCount(const ObjShapes& shapes, const MeshSpan& mesh, Cursor& at) {
  size_t count = 0;
  forEachPart(shapes, mesh, at, [&](size_t, size_t, int32_t, size_t) { ++count; });
  return count;
}

// How many normals the mesh's list holds.
size_t normalsWritten(const MeshSpan& mesh, bool align) {
  return align && mesh.normals.size() ? mesh.vertices.size() : mesh.normals.size();
}

// The mesh's normals one per vertex, into zeroed memory: the vertices in
// the gaps (runs of vertices without a normal) keep (0, 0, 0).
void writeAligned(const ObjShapes& shapes, const MeshSpan& mesh, Cursor& at, Vec3* out) {
  const PodArray<ObjShapes::Range>& gaps = shapes.withoutNormal;
  const Vec3* normal = reinterpret_cast<const Vec3*>(shapes.normals.data()) + mesh.normals.begin;
  size_t v = mesh.vertices.begin;
  const size_t end = mesh.vertices.end;
  while (v < end) {
    while (at.gap < gaps.size() && gaps[at.gap].end <= v) ++at.gap;
    if (at.gap < gaps.size() && gaps[at.gap].begin <= v) {
      // Already zero.
      const size_t stop = std::min(end, gaps[at.gap].end);
      out += stop - v;
      v = stop;
    } else {
      const size_t stop = at.gap < gaps.size() ? std::min(end, gaps[at.gap].begin) : end;
      for (; v < stop; ++v) *out++ = *normal++;
    }
  }
}

void countMesh(SizeCounter& counter, const ObjShapes& shapes, const MeshSpan& mesh, const Options& options,
               Cursor& at, bool first) {
  counter.vector(mesh.vertices.size(), sizeof(Vec3));
  counter.vector(normalsWritten(mesh, options.alignNormals), sizeof(Vec3));
  counter.vector(mesh.indices.size(), sizeof(uint32_t));
  size_t fields = 3;
  if (options.texcoords) {
    counter.vector(mesh.vertices.size(), sizeof(Vec2));
    fields = 4;
  }
  if (options.parts) {
    counter.vector(partCount(shapes, mesh, at), sizeof(Part));
    fields = options.texcoords ? 5 : 4;
    // Without texcoords its slot stays in the vtable, empty.
    if (first && !options.texcoords) counter.size += 2;
  }
  counter.table(fields, first);
}

void countString(SizeCounter& counter, size_t size) { counter.vector(size + 1, 1); }

// Model.materials and Model.shapes; every material is counted with a vtable
// of its own, the most it can take.
void countMaterialsAndShapes(SizeCounter& counter, const ObjShapes& shapes) {
  for (const ObjMaterial& m : shapes.materials) {
    countString(counter, m.name.size());
    size_t offsets = 1, inline_ = 0;
    for (const std::string& texture : m.textures)
      if (!texture.empty()) {
        countString(counter, texture.size());
        ++offsets;
      }
    for (uint16_t bit = ObjMaterial::Ambient; bit <= ObjMaterial::Emissive; bit <<= 1)
      if (m.set & bit) inline_ += sizeof(Vec3);
    for (uint16_t bit = ObjMaterial::Shininess; bit <= ObjMaterial::Illum; bit <<= 1)
      if (m.set & bit) inline_ += 4;
    counter.align();
    counter.size += 4 + 4 * offsets + inline_ + Material::VT_NORMALTEXTURE + 2;
  }
  counter.vector(shapes.materials.size(), sizeof(uint32_t));
  for (size_t s = 0; s < shapes.count(); ++s) countString(counter, shapes.name(s).size());
  counter.vector(shapes.count(), sizeof(uint32_t));
}

// A vector of `count` structs, zero-filled, to be written in place. The
// library's own CreateUninitializedVectorOfStructs aligns to the struct's
// size rather than its alignment, which pads (and misaligns, for Vec3) the
// buffer.
template <class T>
flatbuffers::Offset<flatbuffers::Vector<const T*>> zeroedStructs(flatbuffers::FlatBufferBuilder& builder, size_t count,
                                                                 T*& out) {
  static_assert(alignof(T) == 4 && sizeof(T) % 4 == 0, "structs of 4-byte fields");
  builder.StartVector(count * sizeof(T) / 4, 4);
  builder.Pad(count * sizeof(T));
  out = reinterpret_cast<T*>(builder.GetCurrentBufferPointer());
  return flatbuffers::Offset<flatbuffers::Vector<const T*>>(builder.EndVector(count));
}

const Vec3* asVec3(const PodArray<float>& values, size_t element) {
  return reinterpret_cast<const Vec3*>(values.data()) + element;
}

const Vec2* asVec2(const PodArray<float>& values, size_t element) {
  return reinterpret_cast<const Vec2*>(values.data()) + element;
}

flatbuffers::Offset<flatbuffers::Vector<const Part*>> createParts(flatbuffers::FlatBufferBuilder& builder,
                                                                  const ObjShapes& shapes, const MeshSpan& mesh,
                                                                  Cursor& at) {
  Cursor counted = at;
  Part* out = nullptr;
  auto parts = zeroedStructs(builder, partCount(shapes, mesh, counted), out);
  // Offsets are the mesh's own; the size limit keeps them within 32 bits.
  forEachPart(shapes, mesh, at, [&](size_t first, size_t n, int32_t material, size_t shape) {
    *out++ = Part(uint32_t(first - mesh.indices.begin), uint32_t(n), material, uint32_t(shape));
  });
  return parts;
}

flatbuffers::Offset<Material> createMaterial(flatbuffers::FlatBufferBuilder& builder, const ObjMaterial& m) {
  auto name = builder.CreateString(m.name);
  flatbuffers::Offset<flatbuffers::String> textures[ObjMaterial::kTextures];
  for (int t = 0; t < ObjMaterial::kTextures; ++t)
    if (!m.textures[t].empty()) textures[t] = builder.CreateString(m.textures[t]);
  const Vec3 ambient(m.ambient[0], m.ambient[1], m.ambient[2]), diffuse(m.diffuse[0], m.diffuse[1], m.diffuse[2]),
      specular(m.specular[0], m.specular[1], m.specular[2]), emissive(m.emissive[0], m.emissive[1], m.emissive[2]);
  auto has = [&](uint16_t property) { return (m.set & property) != 0; };
  MaterialBuilder table(builder);
  table.add_name(name);
  if (has(ObjMaterial::Ambient)) table.add_ambient(&ambient);
  if (has(ObjMaterial::Diffuse)) table.add_diffuse(&diffuse);
  if (has(ObjMaterial::Specular)) table.add_specular(&specular);
  if (has(ObjMaterial::Emissive)) table.add_emissive(&emissive);
  // Set values are written even when they equal the schema's defaults:
  // an absent field means an unset property.
  if (has(ObjMaterial::Shininess)) table.add_shininess(m.shininess);
  if (has(ObjMaterial::Opacity)) table.add_opacity(m.opacity);
  if (has(ObjMaterial::Illum)) table.add_illum(m.illum);
  table.add_ambientTexture(textures[ObjMaterial::AmbientMap]);
  table.add_diffuseTexture(textures[ObjMaterial::DiffuseMap]);
  table.add_specularTexture(textures[ObjMaterial::SpecularMap]);
  table.add_emissiveTexture(textures[ObjMaterial::EmissiveMap]);
  table.add_opacityTexture(textures[ObjMaterial::OpacityMap]);
  table.add_normalTexture(textures[ObjMaterial::NormalMap]);
  return table.Finish();
}

}  // namespace

uint64_t meshBufferSize(const ObjShapes& shapes, const Options& options) {
  SizeCounter counter;
  uint64_t meshes = 0;
  Cursor at;
  if (options.combineMeshes) {
    countMesh(counter, shapes, combined(shapes), options, at, true);
    meshes = 1;
  } else {
    for (size_t s = 0; s < shapes.count(); ++s, ++meshes)
      countMesh(counter, shapes, separate(shapes, s), options, at, meshes == 0);
  }
  counter.vector(meshes, sizeof(uint32_t));
  if (options.parts) countMaterialsAndShapes(counter, shapes);
  counter.table(options.parts ? 3 : 1, true);
  counter.finish();
  return counter.size;
}

bool convertShapes(ObjShapes& shapes, const Options& options, flatbuffers::DetachedBuffer& out, Failure& failure) {
  uint64_t size = meshBufferSize(shapes, options);
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

  // The lists that only some options write, after the three every mesh has.
  Cursor at;
  auto extras = [&](const MeshSpan& mesh) {
    flatbuffers::Offset<flatbuffers::Vector<const Vec2*>> texcoords;
    flatbuffers::Offset<flatbuffers::Vector<const Part*>> parts;
    if (options.texcoords)
      texcoords = builder.CreateVectorOfStructs(asVec2(shapes.texcoords, mesh.vertices.begin), mesh.vertices.size());
    if (options.parts) parts = createParts(builder, shapes, mesh, at);
    return std::make_pair(texcoords, parts);
  };
  auto createNormals = [&](const MeshSpan& mesh) {
    if (!options.alignNormals || mesh.normals.size() == mesh.vertices.size() || mesh.normals.size() == 0)
      return builder.CreateVectorOfStructs(asVec3(shapes.normals, mesh.normals.begin), mesh.normals.size());
    Vec3* normals = nullptr;
    auto vector = zeroedStructs(builder, mesh.vertices.size(), normals);
    writeAligned(shapes, mesh, at, normals);
    return vector;
  };

  std::vector<flatbuffers::Offset<Mesh>> meshes;
  if (options.combineMeshes) {
    const MeshSpan mesh = combined(shapes);
    auto positions = builder.CreateVectorOfStructs(asVec3(shapes.positions, 0), shapes.vertexCount());
    shapes.positions.release();
    auto normals = createNormals(mesh);
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
    const auto [texcoords, parts] = extras(mesh);
    meshes.push_back(CreateMesh(builder, positions, normals, indexVector, texcoords, parts));
  } else {
    meshes.reserve(shapes.count());
    // The lists give back their memory as their shapes are copied out, so
    // that they and the buffer are never both whole.
    constexpr size_t kDiscardStep = size_t(1) << 22;
    size_t discarded = 0;
    for (size_t s = 0; s < shapes.count(); ++s) {
      const MeshSpan mesh = separate(shapes, s);
      auto positions =
          builder.CreateVectorOfStructs(asVec3(shapes.positions, mesh.vertices.begin), mesh.vertices.size());
      auto normals = createNormals(mesh);
      auto indices = builder.CreateVector(shapes.indices.data() + mesh.indices.begin, mesh.indices.size());
      const auto [texcoords, parts] = extras(mesh);
      meshes.push_back(CreateMesh(builder, positions, normals, indices, texcoords, parts));
      if (12 * (mesh.vertices.end - discarded) >= kDiscardStep || s + 1 == shapes.count()) {
        shapes.positions.discardFront(3 * mesh.vertices.end);
        shapes.normals.discardFront(3 * mesh.normals.end);
        shapes.indices.discardFront(mesh.indices.end);
        discarded = mesh.vertices.end;
      }
    }
    shapes.positions.release();
    shapes.normals.release();
    shapes.indices.release();
  }
  shapes.texcoords.release();
  auto meshVector = builder.CreateVector(meshes);
  flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<Material>>> materials;
  flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>> names;
  if (options.parts) {
    std::vector<flatbuffers::Offset<Material>> list;
    list.reserve(shapes.materials.size());
    builder.ForceDefaults(true);
    for (const ObjMaterial& m : shapes.materials) list.push_back(createMaterial(builder, m));
    builder.ForceDefaults(false);
    materials = builder.CreateVector(list);
    std::vector<flatbuffers::Offset<flatbuffers::String>> shapeNames;
    shapeNames.reserve(shapes.count());
    for (size_t s = 0; s < shapes.count(); ++s) {
      const std::string_view name = shapes.name(s);
      shapeNames.push_back(builder.CreateString(name.data(), name.size()));
    }
    names = builder.CreateVector(shapeNames);
  }
  auto model = CreateModel(builder, meshVector, materials, names);
  builder.Finish(model);
  out = builder.Release();
  return true;
}

}  // namespace obj2mesh
