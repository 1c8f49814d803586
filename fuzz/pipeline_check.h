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

#include <obj2mesh/converter.h>
#include <obj2mesh/mesh_generated.h>

#include "mesh_conversion.h"
#include "obj_reader.h"

namespace pipeline_check {

using namespace obj2mesh;

// Each check returns nullptr when every invariant holds, or the text of the
// first one that does not.
#define PIPELINE_CHECK(condition)  \
  do {                             \
    if (!(condition)) return #condition; \
  } while (0)

inline MaterialLookup inputLibraries(std::string tail) {
  return [tail = std::move(tail)](const std::string& name, std::string& contents) {
    if (name == "a.mtl") {
      contents = "newmtl red\nKd 1 0 0\nnewmtl green\nKd 0 1 0\nnewmtl blue\nKd 0 0 1\n";
      return true;
    }
    if (name.compare(0, 7, "missing") == 0) return false;
    contents = tail;
    return true;
  };
}

// The shape records cover the lists exactly, and every index names a
// vertex of its own shape.
inline const char* checkShapes(const ObjShapes& shapes) {
  PIPELINE_CHECK(shapes.positions.size() == 3 * shapes.vertexCount());
  PIPELINE_CHECK(shapes.normals.size() == 3 * shapes.normalCount());
  PIPELINE_CHECK(shapes.indices.size() == shapes.indexCount());
  PIPELINE_CHECK(shapes.names.size() == (shapes.count() ? shapes.shapes.back().nameEnd : 0));
  for (size_t s = 0; s < shapes.count(); ++s) {
    const ObjShapes::Range vertices = shapes.vertices(s), normals = shapes.normalRange(s), indices = shapes.indexRange(s);
    PIPELINE_CHECK(vertices.begin <= vertices.end && normals.begin <= normals.end && indices.begin <= indices.end);
    PIPELINE_CHECK(normals.size() <= vertices.size());
    PIPELINE_CHECK(indices.size() % 3 == 0);
    for (size_t i = indices.begin; i < indices.end; ++i) PIPELINE_CHECK(shapes.indices[i] < vertices.size());
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

// A converted buffer against the shapes it was made from.
inline const char* checkBuffer(const uint8_t* data, size_t size, const ObjShapes& shapes, bool combine) {
  PIPELINE_CHECK(size == meshBufferSize(shapes, Options{combine}));
  flatbuffers::Verifier verifier(data, size);
  PIPELINE_CHECK(VerifyModelBuffer(verifier));
  const Model* model = GetModel(data);
  PIPELINE_CHECK(model->meshes() != nullptr);
  for (const Mesh* mesh : *model->meshes()) {
    PIPELINE_CHECK(mesh->positions() && mesh->normals() && mesh->indices());
    PIPELINE_CHECK(mesh->indices()->size() % 3 == 0);
    for (uint32_t index : *mesh->indices()) PIPELINE_CHECK(index < mesh->positions()->size());
  }
  if (combine) {
    PIPELINE_CHECK(model->meshes()->size() == 1);
    const Mesh* mesh = model->meshes()->Get(0);
    PIPELINE_CHECK(sameBytes(mesh->positions(), 12, shapes.positions.data(), shapes.positions.size() * 4));
    PIPELINE_CHECK(sameBytes(mesh->normals(), 12, shapes.normals.data(), shapes.normals.size() * 4));
    PIPELINE_CHECK(mesh->indices()->size() == shapes.indices.size());
    for (size_t s = 0; s < shapes.count(); ++s) {
      const ObjShapes::Range indices = shapes.indexRange(s);
      for (size_t i = indices.begin; i < indices.end; ++i)
        PIPELINE_CHECK(mesh->indices()->Get(uint32_t(i)) == shapes.indices[i] + shapes.vertices(s).begin);
    }
  } else {
    PIPELINE_CHECK(model->meshes()->size() == shapes.count());
    for (size_t s = 0; s < shapes.count(); ++s) {
      const Mesh* mesh = model->meshes()->Get(uint32_t(s));
      const ObjShapes::Range vertices = shapes.vertices(s), normals = shapes.normalRange(s), indices = shapes.indexRange(s);
      PIPELINE_CHECK(sameBytes(mesh->positions(), 12, shapes.positions.data() + 3 * vertices.begin, vertices.size() * 12));
      PIPELINE_CHECK(sameBytes(mesh->normals(), 12, shapes.normals.data() + 3 * normals.begin, normals.size() * 12));
      PIPELINE_CHECK(sameBytes(mesh->indices(), 4, shapes.indices.data() + indices.begin, indices.size() * 4));
    }
  }
  return nullptr;
}

// A buffer with every option against the default one: the same positions
// and indices; texture coordinates and normals one per vertex; parts that
// tile the indices and name shapes and materials that exist.
inline const char* checkTextured(const ConvertResult& textured, const ConvertResult& plain, const ObjShapes& shapes,
                                 const Options& options) {
  PIPELINE_CHECK(textured.size() <= meshBufferSize(shapes, options));
  flatbuffers::Verifier verifier(textured.data(), textured.size());
  PIPELINE_CHECK(VerifyModelBuffer(verifier));
  const Model* model = GetModel(textured.data());
  const Model* base = GetModel(plain.data());
  PIPELINE_CHECK(model->meshes()->size() == base->meshes()->size() && model->shapes()->size() == shapes.count());
  PIPELINE_CHECK(model->materials()->size() == shapes.materials.size());
  for (uint32_t m = 0; m < model->meshes()->size(); ++m) {
    const Mesh* mesh = model->meshes()->Get(m);
    const Mesh* plainMesh = base->meshes()->Get(m);
    const size_t vertices = mesh->positions()->size();
    PIPELINE_CHECK(sameBytes(mesh->positions(), 12, plainMesh->positions()->Data(), vertices * 12));
    PIPELINE_CHECK(sameBytes(mesh->indices(), 4, plainMesh->indices()->Data(), plainMesh->indices()->size() * 4));
    PIPELINE_CHECK(mesh->texcoords()->size() == vertices);
    const size_t normals = plainMesh->normals()->size();
    PIPELINE_CHECK(mesh->normals()->size() == (normals ? vertices : 0));
    if (normals == vertices) PIPELINE_CHECK(sameBytes(mesh->normals(), 12, plainMesh->normals()->Data(), normals * 12));
    uint32_t next = 0;
    for (const Part* part : *mesh->parts()) {
      PIPELINE_CHECK(part->firstIndex() == next && part->indexCount() > 0 && part->indexCount() % 3 == 0);
      PIPELINE_CHECK(part->material() >= -1 && part->material() < int32_t(shapes.materials.size()));
      PIPELINE_CHECK(part->shape() < shapes.count() && (options.combineMeshes || part->shape() == m));
      next += part->indexCount();
    }
    PIPELINE_CHECK(next == mesh->indices()->size());
  }
  return nullptr;
}

inline bool sameShapes(const ObjShapes& a, const ObjShapes& b) {
  auto same = [](const auto& x, const auto& y) {
    return x.size() == y.size() && sameBytes(x.data(), y.data(), x.size() * sizeof(*x.data()));
  };
  return a.names == b.names && same(a.positions, b.positions) && same(a.normals, b.normals) &&
         same(a.indices, b.indices) && same(a.shapes, b.shapes) && same(a.texcoords, b.texcoords) &&
         same(a.withoutNormal, b.withoutNormal) && same(a.groups, b.groups);
}

inline bool sameFailure(const Failure& a, const Failure& b) {
  return a.path == b.path && a.line == b.line && a.reason == b.reason;
}

// The whole pipeline on one input.
inline const char* checkPipeline(const char* data, size_t size) {
  std::string input(data, size);
  static const std::string separator = "\n@mtl\n";
  size_t split = input.find(separator);
  size_t objSize = split == std::string::npos ? size : split + 1;
  const MaterialLookup libraries =
      inputLibraries(split == std::string::npos ? input : input.substr(split + separator.size()));

  // The text is read as one chunk; on one thread in chunks that most
  // lines cross; and on several threads in tiny chunks. All must give the
  // same shapes or failure.
  ReadOptions whole, pieces, threads;
  whole.chunkBytes = objSize + 1;
  whole.threads = pieces.threads = 1;
  whole.texcoords = pieces.texcoords = threads.texcoords = true;
  pieces.chunkBytes = 1 + objSize % 29;
  threads.threads = 2;
  threads.chunkBytes = 1 + objSize % 13;
  ObjShapes shapes, again, chunked;
  Failure failure, againFailure, chunkedFailure;
  const bool ok = readObjBuffer(data, objSize, "fuzz.obj", libraries, shapes, failure, whole);
  PIPELINE_CHECK(ok == readObjBuffer(data, objSize, "fuzz.obj", libraries, again, againFailure, pieces));
  PIPELINE_CHECK(ok == readObjBuffer(data, objSize, "fuzz.obj", libraries, chunked, chunkedFailure, threads));
  PIPELINE_CHECK(sameFailure(failure, chunkedFailure));
  PIPELINE_CHECK(!ok || sameShapes(shapes, chunked));

  if (!ok) {
    // In memory nothing can be unreadable: only content is rejected, and
    // the reason names a line of the input. The public API says the same.
    PIPELINE_CHECK(sameFailure(failure, againFailure));
    PIPELINE_CHECK(failure.path == "fuzz.obj");
    PIPELINE_CHECK(!failure.reason.empty());
    size_t lines = 1;
    for (size_t i = 0; i < objSize; ++i) lines += data[i] == '\n';
    PIPELINE_CHECK(failure.line >= 1 && failure.line <= lines);
    ConvertResult result = convertObjBuffer(data, objSize, "fuzz.obj", libraries);
    PIPELINE_CHECK(!result.ok() && sameFailure(result.failure(), failure) && result.size() == 0);
    return nullptr;
  }
  PIPELINE_CHECK(sameShapes(shapes, again));
  if (const char* failed = checkShapes(shapes)) return failed;
  for (bool combine : {true, false}) {
    Options options;
    options.combineMeshes = combine;
    ConvertResult result = convertObjBuffer(data, objSize, "fuzz.obj", libraries, options);
    PIPELINE_CHECK(result.ok());
    if (const char* failed = checkBuffer(result.data(), result.size(), shapes, combine)) return failed;
    options.texcoords = options.alignNormals = options.parts = true;
    ConvertResult textured = convertObjBuffer(data, objSize, "fuzz.obj", libraries, options);
    PIPELINE_CHECK(textured.ok());
    if (const char* failed = checkTextured(textured, result, shapes, options)) return failed;
  }
  return nullptr;
}

#undef PIPELINE_CHECK

}  // namespace pipeline_check
