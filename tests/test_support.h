#pragma once

// Helpers shared by the test suites.

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
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
  if (!obj2mesh::VerifyModelBuffer(verifier) || !obj2mesh::GetModel(data)->meshes()) {
    ADD_FAILURE() << "buffer fails the Verifier or has no meshes vector";
    return nullptr;
  }
  const obj2mesh::Model* model = obj2mesh::GetModel(data);
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

inline const obj2mesh::Model* verifiedModel(const std::string& bytes) {
  return verifiedModel(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
const obj2mesh::Model* verifiedModel(std::string&& bytes) = delete;  // the root would point into a temporary

// Loads OBJ text and converts it; the buffer's bytes.
inline std::vector<uint8_t> convertText(const std::string& text, bool combineMeshes) {
  std::vector<ObjShape> shapes;
  LoadResult loaded = loadText(text, shapes);
  EXPECT_TRUE(loaded.ok()) << loaded.reason;
  flatbuffers::FlatBufferBuilder builder;
  EXPECT_TRUE(convertShapes(shapes, combineMeshes, builder));
  return std::vector<uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

template <class T>
std::vector<T> toVector(const flatbuffers::Vector<T>* v) {
  return std::vector<T>(v->begin(), v->end());
}

// A test name from a description: words capitalised, everything but letters
// and digits dropped.
inline std::string testName(const std::string& what) {
  std::string name;
  bool wordStart = true;
  for (unsigned char c : what) {
    if (std::isalnum(c)) name += char(wordStart ? std::toupper(c) : c);
    wordStart = !std::isalnum(c);
  }
  return name;
}

// Names each case of a parameterised suite by its `what` field.
struct ByWhat {
  template <class P>
  std::string operator()(const testing::TestParamInfo<P>& info) const {
    return testName(info.param.what);
  }
};

// The shared real-world models: the .obj file in each folder.
inline const std::filesystem::path kSharedModels = std::filesystem::path(OBJ2MESH_SHARED_DIR) / "models";

inline std::vector<std::filesystem::path> sharedObjFiles() {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& folder : std::filesystem::directory_iterator(kSharedModels, error))
    if (folder.is_directory())
      for (const auto& file : std::filesystem::directory_iterator(folder.path()))
        if (file.path().extension() == ".obj") files.push_back(file.path());
  std::sort(files.begin(), files.end());
  return files;
}

inline std::string modelName(const testing::TestParamInfo<std::filesystem::path>& info) {
  return testName(info.param.parent_path().filename().string());
}
