// Every shared real-world model through the library: loaded from its own
// folder (mtllib names resolve against the working directory), the shapes
// keep their invariants, and both conversion modes give verifiable buffers
// of the predicted size. A model whose faces name missing vertices must be
// rejected with the line of such a face; nothing may crash.

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kModels = fs::path(OBJ2MESH_SHARED_DIR) / "models";

// Models with a face corner whose position index names no vertex.
const std::set<std::string> kRejected = {"malformed_idx"};

std::vector<fs::path> sharedObjFiles() {
  std::vector<fs::path> files;
  std::error_code error;
  for (const fs::directory_entry& folder : fs::directory_iterator(kModels, error))
    if (folder.is_directory())
      for (const fs::directory_entry& file : fs::directory_iterator(folder.path()))
        if (file.path().extension() == ".obj") files.push_back(file.path());
  std::sort(files.begin(), files.end());
  return files;
}

// Runs in a folder and comes back, so that a failed assertion cannot leave
// the other tests in the wrong place.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& folder) : previous_(fs::current_path()) { fs::current_path(folder); }
  ~WorkingDirectory() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

// Line `number` (1-based, split at line feeds) of a file.
std::string lineOf(const fs::path& path, uint64_t number) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (uint64_t i = 0; i < number && std::getline(in, line); ++i) {
  }
  return line;
}

void expectShapeInvariants(const ObjShape& shape) {
  size_t vertices = shape.vertexCount();
  EXPECT_EQ(shape.positions.size() % 3, 0u);
  EXPECT_EQ(shape.normals.size() % 3, 0u);
  EXPECT_EQ(shape.texcoords.size() % 2, 0u);
  EXPECT_LE(shape.normals.size(), shape.positions.size());
  EXPECT_LE(shape.texcoords.size() / 2, vertices);
  EXPECT_EQ(shape.indices.size(), 3 * shape.materialIds.size());
  for (uint32_t index : shape.indices) ASSERT_LT(index, vertices) << shape.name;
  // Every vertex is used by some triangle: vertices come only from welding.
  std::vector<bool> used(vertices);
  for (uint32_t index : shape.indices) used[index] = true;
  EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << shape.name;
}

class SharedModel : public testing::TestWithParam<fs::path> {};

TEST_P(SharedModel, LoadsAndConverts) {
  const fs::path obj = GetParam();
  const std::string folder = obj.parent_path().filename().string();
  std::vector<ObjShape> shapes;
  std::vector<ObjMaterial> materials;
  std::string errorText;
  LoadResult loaded;
  {
    WorkingDirectory here(obj.parent_path());
    loaded = loadObjFile(obj.filename().string(), shapes, materials, errorText);

    // The same bytes read from memory, with the same libraries, give the
    // same shapes: the file reader's blocks change nothing.
    std::ifstream in(obj.filename(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string bytes = text.str();
    std::vector<ObjShape> fromMemory;
    std::vector<ObjMaterial> memoryMaterials;
    FileMaterialReader reader;
    LoadResult again = loadObjBuffer(bytes.data(), bytes.size(), obj.filename().string(), fromMemory,
                                     memoryMaterials, errorText, reader);
    EXPECT_EQ(again.status, loaded.status);
    EXPECT_EQ(again.line, loaded.line);
    ASSERT_EQ(fromMemory.size(), shapes.size());
    for (size_t i = 0; i < shapes.size(); ++i) {
      EXPECT_EQ(fromMemory[i].name, shapes[i].name);
      EXPECT_TRUE(fromMemory[i].positions == shapes[i].positions && fromMemory[i].normals == shapes[i].normals &&
                  fromMemory[i].texcoords == shapes[i].texcoords && fromMemory[i].indices == shapes[i].indices &&
                  fromMemory[i].materialIds == shapes[i].materialIds)
          << "shape " << i;
    }
  }

  if (kRejected.count(folder)) {
    ASSERT_EQ(loaded.status, LoadStatus::Rejected);
    EXPECT_GT(loaded.line, 0u);
    EXPECT_EQ(loaded.path, obj.filename().string());
    EXPECT_FALSE(loaded.reason.empty());
    std::string line = lineOf(obj, loaded.line);
    EXPECT_EQ(line.substr(line.find_first_not_of(" \t"), 2), "f ") << "line " << loaded.line << ": " << line;
    EXPECT_TRUE(shapes.empty());
    return;
  }
  ASSERT_TRUE(loaded.ok()) << "line " << loaded.line << ": " << loaded.reason;
  for (const ObjShape& shape : shapes) expectShapeInvariants(shape);

  for (bool combine : {true, false}) {
    SCOPED_TRACE(combine ? "combined" : "separate");
    std::vector<ObjShape> copy = shapes;
    uint64_t predicted = meshBufferSize(copy, combine);
    flatbuffers::FlatBufferBuilder builder;
    ASSERT_TRUE(convertShapes(copy, combine, builder));
    EXPECT_EQ(builder.GetSize(), predicted);
    const obj2mesh::Model* model = verifiedModel(builder.GetBufferPointer(), builder.GetSize());
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshes()->size(), combine ? 1u : shapes.size());
    size_t vertices = 0, triangles = 0;
    for (const ObjShape& shape : shapes) vertices += shape.vertexCount(), triangles += shape.materialIds.size();
    size_t written = 0, writtenIndices = 0;
    for (const obj2mesh::Mesh* mesh : *model->meshes())
      written += mesh->positions()->size(), writtenIndices += mesh->indices()->size();
    EXPECT_EQ(written, vertices);
    EXPECT_EQ(writtenIndices, 3 * triangles);
  }
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedModel, testing::ValuesIn(sharedObjFiles()),
                         [](const testing::TestParamInfo<fs::path>& info) {
                           std::string name = info.param.parent_path().filename().string();
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedModel);

TEST(SharedModel, FolderPresent) {
  if (!fs::is_directory(kModels)) GTEST_SKIP() << kModels << " not found";
  EXPECT_FALSE(sharedObjFiles().empty());
  for (const std::string& folder : kRejected) EXPECT_TRUE(fs::is_directory(kModels / folder)) << folder;
}

}  // namespace
