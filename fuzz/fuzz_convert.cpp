// Arbitrary bytes through the whole in-memory pipeline: OBJ reading (with
// material libraries), shape assembly, and conversion in both modes. Every
// buffer produced must pass the FlatBuffers Verifier and hold exactly the
// shapes' data; any broken invariant aborts so that libFuzzer keeps the input.
//
// Material libraries: "a.mtl" is a fixed library of three materials; a name
// starting with "missing" cannot be read; any other name reads the part of
// the input after the first "\n@mtl\n" line (or, without one, the whole
// input, so that "newmtl" lines among the OBJ statements define materials).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mesh_conversion.h"
#include "mesh_generated.h"
#include "obj_reader.h"

namespace {

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

#define CHECK(condition)                  \
  do {                                    \
    if (!(condition)) violated(#condition); \
  } while (0)

class FuzzMaterialReader : public MaterialReader {
 public:
  explicit FuzzMaterialReader(std::string tail) : tail_(std::move(tail)) {}
  bool read(const std::string& name, std::string& contents) override {
    if (name == "a.mtl") {
      contents = "newmtl red\nKd 1 0 0\nnewmtl green\nKd 0 1 0\nnewmtl blue\nKd 0 0 1\n";
      return true;
    }
    if (name.compare(0, 7, "missing") == 0) return false;
    contents = tail_;
    return true;
  }

 private:
  std::string tail_;
};

void checkShapes(const std::vector<ObjShape>& shapes, size_t materialCount) {
  for (const ObjShape& shape : shapes) {
    size_t vertices = shape.vertexCount();
    CHECK(shape.positions.size() % 3 == 0);
    CHECK(shape.normals.size() % 3 == 0);
    CHECK(shape.normals.size() <= shape.positions.size());
    CHECK(shape.texcoords.size() % 2 == 0);
    CHECK(shape.texcoords.size() / 2 <= vertices);
    CHECK(shape.indices.size() % 3 == 0);
    CHECK(shape.materialIds.size() * 3 == shape.indices.size());
    for (uint32_t index : shape.indices) CHECK(index < vertices);
    for (int32_t id : shape.materialIds) CHECK(id >= -1 && (id < 0 || size_t(id) < materialCount));
  }
}

// memcmp with a length of 0 still wants valid pointers; empty arrays have none.
bool sameBytes(const void* a, const void* b, size_t bytes) { return bytes == 0 || std::memcmp(a, b, bytes) == 0; }

template <class T>
bool sameBytes(const flatbuffers::Vector<T>* vector, size_t elementSize, const void* data, size_t bytes) {
  return vector->size() * elementSize == bytes && sameBytes(vector->Data(), data, bytes);
}

// Converts a copy of the shapes (conversion consumes them) and checks the
// buffer against the originals.
void checkConversion(const std::vector<ObjShape>& shapes, bool combine) {
  std::vector<ObjShape> copy = shapes;
  uint64_t expectedSize = meshBufferSize(copy, combine);
  flatbuffers::FlatBufferBuilder builder;
  CHECK(convertShapes(copy, combine, builder));
  const uint8_t* data = builder.GetBufferPointer();
  size_t size = builder.GetSize();
  CHECK(size == expectedSize);

  flatbuffers::Verifier verifier(data, size);
  CHECK(obj2mesh::VerifyModelBuffer(verifier));
  const obj2mesh::Model* model = obj2mesh::GetModel(data);
  CHECK(model->meshes() != nullptr);
  for (const obj2mesh::Mesh* mesh : *model->meshes()) {
    CHECK(mesh->positions() && mesh->normals() && mesh->indices());
    CHECK(mesh->indices()->size() % 3 == 0);
    for (uint32_t index : *mesh->indices()) CHECK(index < mesh->positions()->size());
  }

  if (combine) {
    CHECK(model->meshes()->size() == 1);
    const obj2mesh::Mesh* mesh = model->meshes()->Get(0);
    size_t positions = 0, normals = 0, indices = 0, base = 0;
    for (const ObjShape& shape : shapes) {
      CHECK(positions + shape.positions.size() <= mesh->positions()->size() * 3);
      CHECK(normals + shape.normals.size() <= mesh->normals()->size() * 3);
      CHECK(sameBytes(mesh->positions()->Data() + positions * 4, shape.positions.data(),
                      shape.positions.size() * 4));
      CHECK(sameBytes(mesh->normals()->Data() + normals * 4, shape.normals.data(), shape.normals.size() * 4));
      CHECK(indices + shape.indices.size() <= mesh->indices()->size());
      for (size_t i = 0; i < shape.indices.size(); ++i)
        CHECK(mesh->indices()->Get(uint32_t(indices + i)) == shape.indices[i] + base);
      positions += shape.positions.size();
      normals += shape.normals.size();
      indices += shape.indices.size();
      base += shape.vertexCount();
    }
    CHECK(mesh->positions()->size() * 3 == positions);
    CHECK(mesh->normals()->size() * 3 == normals);
    CHECK(mesh->indices()->size() == indices);
  } else {
    CHECK(model->meshes()->size() == shapes.size());
    for (size_t s = 0; s < shapes.size(); ++s) {
      const obj2mesh::Mesh* mesh = model->meshes()->Get(uint32_t(s));
      const ObjShape& shape = shapes[s];
      CHECK(sameBytes(mesh->positions(), 12, shape.positions.data(), shape.positions.size() * 4));
      CHECK(sameBytes(mesh->normals(), 12, shape.normals.data(), shape.normals.size() * 4));
      CHECK(sameBytes(mesh->indices(), 4, shape.indices.data(), shape.indices.size() * 4));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const char* data = reinterpret_cast<const char*>(bytes);
  std::string input(data, size);
  static const std::string separator = "\n@mtl\n";
  size_t split = input.find(separator);
  size_t objSize = split == std::string::npos ? size : split + 1;
  FuzzMaterialReader reader(split == std::string::npos ? input : input.substr(split + separator.size()));

  std::vector<ObjShape> shapes;
  std::vector<ObjMaterial> materials;
  std::string errorText;
  LoadResult loaded = loadObjBuffer(data, objSize, "fuzz.obj", shapes, materials, errorText, reader);
  if (!loaded.ok()) {
    // In memory nothing can be unreadable: only content is rejected, and
    // the reason names a line of the input.
    CHECK(loaded.status == LoadStatus::Rejected);
    CHECK(loaded.path == "fuzz.obj");
    CHECK(!loaded.reason.empty());
    size_t lines = 1;
    for (size_t i = 0; i < objSize; ++i) lines += data[i] == '\n';
    CHECK(loaded.line >= 1 && loaded.line <= lines);
    CHECK(shapes.empty());
    return 0;
  }
  checkShapes(shapes, materials.size());
  checkConversion(shapes, true);
  checkConversion(shapes, false);
  return 0;
}
