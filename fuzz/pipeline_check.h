#pragma once

// The checks behind the fuzz_convert target, shared with the test suite
// that replays the inputs kept under tests/data/fuzz/: arbitrary bytes go
// through OBJ reading (with material libraries), shape assembly and
// conversion in both modes; every buffer produced must pass the FlatBuffers
// Verifier and hold exactly the shapes' data.
//
// Material libraries: "a.mtl" is a fixed library of three materials; a name
// starting with "missing" cannot be read; any other name reads the part of
// the input after the first "\n@mtl\n" line (or, without one, the whole
// input, so that "newmtl" lines among the OBJ statements define materials).

#include <cstring>
#include <string>
#include <vector>

#include "mesh_conversion.h"
#include "mesh_generated.h"
#include "obj_reader.h"

namespace pipeline_check {

// Each check returns nullptr when every invariant holds, or the text of the
// first one that does not.
#define PIPELINE_CHECK(condition)  \
  do {                             \
    if (!(condition)) return #condition; \
  } while (0)

class InputMaterialReader : public MaterialReader {
 public:
  explicit InputMaterialReader(std::string tail) : tail_(std::move(tail)) {}
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

inline const char* checkShapes(const std::vector<ObjShape>& shapes, size_t materialCount) {
  for (const ObjShape& shape : shapes) {
    size_t vertices = shape.vertexCount();
    PIPELINE_CHECK(shape.positions.size() % 3 == 0);
    PIPELINE_CHECK(shape.normals.size() % 3 == 0);
    PIPELINE_CHECK(shape.normals.size() <= shape.positions.size());
    PIPELINE_CHECK(shape.texcoords.size() % 2 == 0);
    PIPELINE_CHECK(shape.texcoords.size() / 2 <= vertices);
    PIPELINE_CHECK(shape.indices.size() % 3 == 0);
    PIPELINE_CHECK(shape.materialIds.size() * 3 == shape.indices.size());
    for (uint32_t index : shape.indices) PIPELINE_CHECK(index < vertices);
    for (int32_t id : shape.materialIds) PIPELINE_CHECK(id >= -1 && (id < 0 || size_t(id) < materialCount));
  }
  return nullptr;
}

// memcmp with a length of 0 still wants valid pointers; empty arrays have none.
inline bool sameBytes(const void* a, const void* b, size_t bytes) {
  return bytes == 0 || std::memcmp(a, b, bytes) == 0;
}

template <class T>
bool sameBytes(const flatbuffers::Vector<T>* vector, size_t elementSize, const void* data, size_t bytes) {
  return vector->size() * elementSize == bytes && sameBytes(vector->Data(), data, bytes);
}

// Converts a copy of the shapes (conversion consumes them) and checks the
// buffer against the originals.
inline const char* checkConversion(const std::vector<ObjShape>& shapes, bool combine) {
  std::vector<ObjShape> copy = shapes;
  uint64_t expectedSize = meshBufferSize(copy, combine);
  flatbuffers::FlatBufferBuilder builder;
  PIPELINE_CHECK(convertShapes(copy, combine, builder));
  const uint8_t* data = builder.GetBufferPointer();
  size_t size = builder.GetSize();
  PIPELINE_CHECK(size == expectedSize);

  flatbuffers::Verifier verifier(data, size);
  PIPELINE_CHECK(obj2mesh::VerifyModelBuffer(verifier));
  const obj2mesh::Model* model = obj2mesh::GetModel(data);
  PIPELINE_CHECK(model->meshes() != nullptr);
  for (const obj2mesh::Mesh* mesh : *model->meshes()) {
    PIPELINE_CHECK(mesh->positions() && mesh->normals() && mesh->indices());
    PIPELINE_CHECK(mesh->indices()->size() % 3 == 0);
    for (uint32_t index : *mesh->indices()) PIPELINE_CHECK(index < mesh->positions()->size());
  }
  if (combine) {
    PIPELINE_CHECK(model->meshes()->size() == 1);
    const obj2mesh::Mesh* mesh = model->meshes()->Get(0);
    size_t positions = 0, normals = 0, indices = 0, base = 0;
    for (const ObjShape& shape : shapes) {
      PIPELINE_CHECK(positions + shape.positions.size() <= mesh->positions()->size() * 3);
      PIPELINE_CHECK(normals + shape.normals.size() <= mesh->normals()->size() * 3);
      PIPELINE_CHECK(sameBytes(mesh->positions()->Data() + positions * 4, shape.positions.data(),
                               shape.positions.size() * 4));
      PIPELINE_CHECK(sameBytes(mesh->normals()->Data() + normals * 4, shape.normals.data(),
                               shape.normals.size() * 4));
      PIPELINE_CHECK(indices + shape.indices.size() <= mesh->indices()->size());
      for (size_t i = 0; i < shape.indices.size(); ++i)
        PIPELINE_CHECK(mesh->indices()->Get(uint32_t(indices + i)) == shape.indices[i] + base);
      positions += shape.positions.size();
      normals += shape.normals.size();
      indices += shape.indices.size();
      base += shape.vertexCount();
    }
    PIPELINE_CHECK(mesh->positions()->size() * 3 == positions);
    PIPELINE_CHECK(mesh->normals()->size() * 3 == normals);
    PIPELINE_CHECK(mesh->indices()->size() == indices);
  } else {
    PIPELINE_CHECK(model->meshes()->size() == shapes.size());
    for (size_t s = 0; s < shapes.size(); ++s) {
      const obj2mesh::Mesh* mesh = model->meshes()->Get(uint32_t(s));
      const ObjShape& shape = shapes[s];
      PIPELINE_CHECK(sameBytes(mesh->positions(), 12, shape.positions.data(), shape.positions.size() * 4));
      PIPELINE_CHECK(sameBytes(mesh->normals(), 12, shape.normals.data(), shape.normals.size() * 4));
      PIPELINE_CHECK(sameBytes(mesh->indices(), 4, shape.indices.data(), shape.indices.size() * 4));
    }
  }
  return nullptr;
}

// Compares what reaches the mesh file: names, positions, normals, indices.
inline bool sameMeshData(const std::vector<ObjShape>& a, const std::vector<ObjShape>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || !(a[i].positions == b[i].positions) || !(a[i].normals == b[i].normals) ||
        !(a[i].indices == b[i].indices))
      return false;
  return true;
}

struct Loaded {
  LoadResult result;
  std::vector<ObjShape> shapes;
  std::vector<ObjMaterial> materials;
};

inline Loaded load(const char* data, size_t size, MaterialReader& reader, const LoadOptions& options) {
  Loaded loaded;
  std::string errorText;
  loaded.result = loadObjBuffer(data, size, "fuzz.obj", loaded.shapes, loaded.materials, errorText, reader, options);
  return loaded;
}

// The whole pipeline on one input.
inline const char* checkPipeline(const char* data, size_t size) {
  std::string input(data, size);
  static const std::string separator = "\n@mtl\n";
  size_t split = input.find(separator);
  size_t objSize = split == std::string::npos ? size : split + 1;
  InputMaterialReader reader(split == std::string::npos ? input : input.substr(split + separator.size()));

  // The text is read twice: in one block, keeping everything; and the
  // way the program reads a large file, in blocks that most lines cross and
  // without the texture coordinates and material ids the file never holds.
  // Both must give the same result and the same mesh data.
  LoadOptions full;
  full.firstBlockBytes = objSize + 1;
  LoadOptions lean;
  lean.firstBlockBytes = 1 + objSize % 29;
  lean.keepTexcoords = false;
  lean.keepMaterialIds = false;
  Loaded whole = load(data, objSize, reader, full);
  Loaded pieces = load(data, objSize, reader, lean);
  PIPELINE_CHECK(whole.result.status == pieces.result.status && whole.result.line == pieces.result.line &&
                 whole.result.reason == pieces.result.reason);
  PIPELINE_CHECK(sameMeshData(whole.shapes, pieces.shapes));
  PIPELINE_CHECK(whole.materials.size() == pieces.materials.size());

  const LoadResult& loaded = whole.result;
  if (!loaded.ok()) {
    // In memory nothing can be unreadable: only content is rejected, and
    // the reason names a line of the input.
    PIPELINE_CHECK(loaded.status == LoadStatus::Rejected);
    PIPELINE_CHECK(loaded.path == "fuzz.obj");
    PIPELINE_CHECK(!loaded.reason.empty());
    size_t lines = 1;
    for (size_t i = 0; i < objSize; ++i) lines += data[i] == '\n';
    PIPELINE_CHECK(loaded.line >= 1 && loaded.line <= lines);
    PIPELINE_CHECK(whole.shapes.empty());
    return nullptr;
  }
  if (const char* failed = checkShapes(whole.shapes, whole.materials.size())) return failed;
  if (const char* failed = checkConversion(whole.shapes, true)) return failed;
  return checkConversion(whole.shapes, false);
}

#undef PIPELINE_CHECK

}  // namespace pipeline_check
