#pragma once

// Helpers shared by the test suites.

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mesh_conversion.h"
#include "mesh_generated.h"
#include "obj_reader.h"

// Loads OBJ text from memory, with material libraries from `libraries`.
inline LoadResult loadText(const std::string& text, std::vector<ObjShape>& shapes,
                           const std::map<std::string, std::string>& libraries = {}) {
  MemoryMaterialReader reader;
  reader.files = libraries;
  std::vector<ObjMaterial> materials;
  std::string errorText;
  return loadObjBuffer(text.data(), text.size(), "test.obj", shapes, materials, errorText, reader);
}

// Checks a finished mesh buffer with the FlatBuffers Verifier and the index
// invariants every converted file keeps; returns the root on success.
inline const obj2mesh::Model* verifiedModel(const uint8_t* data, size_t size) {
  flatbuffers::Verifier verifier(data, size);
  if (!obj2mesh::VerifyModelBuffer(verifier)) {
    ADD_FAILURE() << "buffer fails the FlatBuffers Verifier";
    return nullptr;
  }
  const obj2mesh::Model* model = obj2mesh::GetModel(data);
  if (!model->meshes()) {
    ADD_FAILURE() << "model has no meshes vector";
    return nullptr;
  }
  for (const obj2mesh::Mesh* mesh : *model->meshes()) {
    if (!mesh->positions() || !mesh->normals() || !mesh->indices()) {
      ADD_FAILURE() << "mesh misses a vector";
      return nullptr;
    }
    EXPECT_EQ(mesh->indices()->size() % 3, 0u);
    for (uint32_t index : *mesh->indices()) {
      if (index >= mesh->positions()->size()) {
        ADD_FAILURE() << "index " << index << " beyond " << mesh->positions()->size() << " positions";
        return nullptr;
      }
    }
  }
  return model;
}

// Loads OBJ text and converts it; the buffer's bytes.
inline std::vector<uint8_t> convertText(const std::string& text, bool combineMeshes) {
  std::vector<ObjShape> shapes;
  LoadResult loaded = loadText(text, shapes);
  EXPECT_TRUE(loaded.ok()) << loaded.reason;
  flatbuffers::FlatBufferBuilder builder;
  EXPECT_TRUE(convertShapes(shapes, combineMeshes, builder));
  return std::vector<uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}
