// Converts every shared real-world model with the built program, in both
// modes, from the model's own folder (its mtllib names resolve against the
// working folder), and checks what a consumer of the files relies on: every
// file passes the FlatBuffers Verifier, indices stay below the position count
// and come in threes, combined mode is exactly the separate meshes laid end
// to end, and a second run writes the same bytes.

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

#include "process_support.h"
#include "test_support.h"

namespace {

const fs::path kModels = fs::path(OBJ2MESH_SHARED_DIR) / "models";

// Models with a face corner whose position index names no vertex; the
// program must reject these (and only these) with exit status 1.
const std::set<std::string> kRejected = {"malformed_idx"};

struct Model {
  std::string folder;
  std::string obj;  // file name inside the folder
};

std::vector<Model> sharedModels() {
  std::vector<Model> models;
  std::error_code error;
  for (const fs::directory_entry& folder : fs::directory_iterator(kModels, error)) {
    if (!folder.is_directory()) continue;
    for (const fs::directory_entry& file : fs::directory_iterator(folder.path()))
      if (file.path().extension() == ".obj")
        models.push_back({folder.path().filename().string(), file.path().filename().string()});
  }
  std::sort(models.begin(), models.end(),
            [](const Model& a, const Model& b) { return a.folder + "/" + a.obj < b.folder + "/" + b.obj; });
  return models;
}

std::string testName(const Model& model) {
  std::string name = model.folder + "_" + fs::path(model.obj).stem().string();
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

std::string line(const std::string& text, unsigned long number) {
  size_t start = 0;
  for (unsigned long i = 1; i < number && start != std::string::npos; ++i) {
    start = text.find('\n', start);
    if (start != std::string::npos) ++start;
  }
  if (start == std::string::npos) return "";
  return text.substr(start, text.find('\n', start) - start);
}

// The raw bytes of a vector of Vec3 structs, compared bit for bit.
std::vector<uint8_t> bytesOf(const flatbuffers::Vector<const obj2mesh::Vec3*>* vector) {
  const uint8_t* data = vector->Data();
  return std::vector<uint8_t>(data, data + vector->size() * sizeof(obj2mesh::Vec3));
}

class Models : public testing::TestWithParam<Model> {
 protected:
  void SetUp() override {
    // The shared folder may be read-only: work on a writable copy.
    fs::copy(kModels / GetParam().folder, work(), fs::copy_options::recursive);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(work()))
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(work(), fs::perms::owner_all, fs::perm_options::add);
  }
  fs::path work() const { return dir_.path() / "work"; }

  TempDir dir_;
};

TEST_P(Models, ConvertsInBothModesOrIsRejected) {
  const std::string obj = GetParam().obj;
  const bool rejected = kRejected.count(GetParam().folder) > 0;
  const std::vector<std::vector<std::string>> runs = {
      {obj, "-o", "combined.mesh"},
      {obj, "-o", "separate.mesh", "-c", "false"},
      {obj, "-o", "combined2.mesh", "-c", "true"},
      {obj, "-o", "separate2.mesh", "-c", "0"},
  };
  const Tree before = snapshot(work());

  for (const std::vector<std::string>& args : runs) {
    RunOutcome r = runProgram(work(), args);
    if (rejected) {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.out, "Loading '" + obj + "'... failed\n");
      // The message names the file and a line, and that line is a face.
      const std::string prefix = "obj2mesh: " + obj + ":";
      ASSERT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
      const unsigned long number = std::strtoul(r.err.c_str() + prefix.size(), nullptr, 10);
      EXPECT_EQ(line(readFile(work() / obj), number).rfind("f ", 0), 0u) << "line " << number;
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out, "Loading '" + obj + "'... complete\nConverting... complete\nSaving to '" + args[2] +
                           "'... complete\n");
      EXPECT_EQ(r.err, "");
    }
  }
  if (rejected) {
    EXPECT_EQ(treeDifference(before, snapshot(work())), "");
    return;
  }

  const std::string combined = readFile(work() / "combined.mesh");
  const std::string separate = readFile(work() / "separate.mesh");
  EXPECT_EQ(combined, readFile(work() / "combined2.mesh")) << "two runs differ";
  EXPECT_EQ(separate, readFile(work() / "separate2.mesh")) << "two runs differ";

  const obj2mesh::Model* whole = verifiedModel(reinterpret_cast<const uint8_t*>(combined.data()), combined.size());
  const obj2mesh::Model* parts = verifiedModel(reinterpret_cast<const uint8_t*>(separate.data()), separate.size());
  ASSERT_TRUE(whole && parts);
  ASSERT_EQ(whole->meshes()->size(), 1u);

  // Combined mode is the separate meshes end to end, each one's indices
  // offset by the positions before it.
  std::vector<uint8_t> positions, normals;
  std::vector<uint32_t> indices;
  for (const obj2mesh::Mesh* mesh : *parts->meshes()) {
    const uint32_t base = uint32_t(positions.size() / sizeof(obj2mesh::Vec3));
    for (uint32_t index : *mesh->indices()) indices.push_back(base + index);
    std::vector<uint8_t> p = bytesOf(mesh->positions()), n = bytesOf(mesh->normals());
    positions.insert(positions.end(), p.begin(), p.end());
    normals.insert(normals.end(), n.begin(), n.end());
  }
  const obj2mesh::Mesh* all = whole->meshes()->Get(0);
  EXPECT_TRUE(bytesOf(all->positions()) == positions);
  EXPECT_TRUE(bytesOf(all->normals()) == normals);
  EXPECT_EQ(std::vector<uint32_t>(all->indices()->begin(), all->indices()->end()), indices);
  EXPECT_LE(all->normals()->size(), all->positions()->size());
}

INSTANTIATE_TEST_SUITE_P(Shared, Models, testing::ValuesIn(sharedModels()),
                         [](const testing::TestParamInfo<Model>& info) { return testName(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Models);

// Reports a skip, rather than silently running nothing, when the shared
// models are not beside the project.
TEST(SharedModels, Present) {
  if (!fs::is_directory(kModels)) GTEST_SKIP() << kModels << " not found";
  EXPECT_FALSE(sharedModels().empty());
  for (const std::string& folder : kRejected) EXPECT_TRUE(fs::is_directory(kModels / folder)) << folder;
}

}  // namespace
