#pragma once

// Helpers shared by the test suites: loading OBJ text in memory, checking
// mesh buffers, naming parameterised cases, the shared model collection.

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <obj2mesh/converter.h>
#include <obj2mesh/mesh_generated.h>

#include "obj_reader.h"

using namespace obj2mesh;

// Material libraries from memory, by name.
inline MaterialLookup libraryLookup(std::map<std::string, std::string> libraries) {
  return [libraries = std::move(libraries)](const std::string& name, std::string& contents) {
    auto it = libraries.find(name);
    if (it == libraries.end()) return false;
    contents = it->second;
    return true;
  };
}

struct Loaded {
  bool ok = false;
  ObjShapes shapes;
  Failure failure;
};

// Reads OBJ text from memory as "test.obj", with material libraries from
// `libraries`.
inline Loaded loadText(const std::string& text, const std::map<std::string, std::string>& libraries = {},
                       const ReadOptions& options = {}) {
  Loaded loaded;
  loaded.ok = readObjBuffer(text.data(), text.size(), "test.obj", libraryLookup(libraries), loaded.shapes,
                            loaded.failure, options);
  return loaded;
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

// Converts OBJ text through the public API; the buffer's bytes.
inline std::vector<uint8_t> convertText(const std::string& text, bool combineMeshes) {
  Options options;
  options.combineMeshes = combineMeshes;
  ConvertResult result = convertObjBuffer(text.data(), text.size(), "test.obj", libraryLookup({}), options);
  EXPECT_TRUE(result.ok()) << result.failure().reason;
  return std::vector<uint8_t>(result.data(), result.data() + result.size());
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

// The shared real-world models, one folder each. They are named here so
// that the tests over them are registered whether ../shared is there or not
// (each case skips without its folder); SharedModels.Present checks the
// list against the folders there.
inline const std::filesystem::path kSharedModels = std::filesystem::path(OBJ2MESH_SHARED_DIR) / "models";
inline const std::vector<std::string> kSharedModelFolders = {
    "box_mtllib", "box_multimat", "box_obj_grp_mtl", "box_tabs", "concave_lightwave", "cornell_box", "cube_groups",
    "empty", "fuzz_0109", "groups_crlf", "invalid_face", "line_prim", "lucy", "malformed_idx", "max_blob",
    "maya_axes", "meshlab_ngons", "mtllib_multi_names", "number_formats", "obj_zoo", "rabbit_wings", "regr01_max",
    "spider", "spot", "stanford_bunny", "suzanne_subsurf_uv", "torus_creases", "viking_room", "wallhole_rhino",
    "zbrush_sphere"};

// A case per shared model folder; model() is its .obj file. Skips without
// the folder.
class SharedModel : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const std::filesystem::path folder = (kSharedModels / GetParam()).lexically_normal();
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << folder.string() << " not found";
    for (const auto& file : std::filesystem::directory_iterator(folder))
      if (file.path().extension() == ".obj") model_ = file.path();
  }
  const std::filesystem::path& model() const { return model_; }
  std::filesystem::path model_;
};

inline std::string modelName(const testing::TestParamInfo<std::string>& info) { return testName(info.param); }
