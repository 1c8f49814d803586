// Converts every shared real-world model with the built program, in both
// modes, from the model's own folder (mtllib names resolve against the
// working folder). Each file passes the Verifier and the index invariants,
// combined mode is exactly the separate meshes laid end to end, and a
// second run writes the same bytes. Models whose faces name missing
// vertices are rejected with the line of such a face and write nothing.

#include <cstring>
#include <set>

#include "../fuzz/pipeline_check.h"
#include "process_support.h"
#include "test_support.h"

namespace {

const std::set<std::string> kRejected = {"malformed_idx"};

std::vector<uint8_t> bytesOf(const flatbuffers::Vector<const obj2mesh::Vec3*>* v) {
  return std::vector<uint8_t>(v->Data(), v->Data() + v->size() * sizeof(obj2mesh::Vec3));
}

bool sameShapes(const ObjShapes& a, const ObjShapes& b) {
  auto same = [](const auto& x, const auto& y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(*x.data())) == 0);
  };
  return a.names == b.names && same(a.positions, b.positions) && same(a.normals, b.normals) &&
         same(a.indices, b.indices) && same(a.shapes, b.shapes);
}

class Models : public SharedModel {};

TEST_P(Models, ConvertInBothModesOrAreRejected) {
  TempDir dir;
  const fs::path work = dir.path() / "work";
  // The shared folder may be read-only: work on a writable copy.
  fs::copy(model().parent_path(), work, fs::copy_options::recursive);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(work))
    fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
  fs::permissions(work, fs::perms::owner_all, fs::perm_options::add);
  const std::string obj = model().filename().string();
  const bool rejected = kRejected.count(GetParam()) > 0;
  const Tree before = snapshot(work);

  for (const auto& [output, mode] : std::vector<std::pair<std::string, std::string>>{
           {"combined.mesh", "true"}, {"separate.mesh", "false"}, {"combined2.mesh", "1"}, {"separate2.mesh", "0"}}) {
    RunOutcome r = runProgram(work, {obj, "-o", output, "-c", mode});
    if (rejected) {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.out, "Loading '" + obj + "'... failed\n");
      // The message names the file and a line, and that line is a face.
      const std::string prefix = "obj2mesh: " + obj + ":";
      ASSERT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
      std::istringstream text(readFile(work / obj));
      std::string line;
      for (unsigned long n = std::stoul(r.err.substr(prefix.size())); n > 0; --n) std::getline(text, line);
      EXPECT_EQ(line.rfind("f ", 0), 0u) << line;
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out, "Loading '" + obj + "'... complete\nConverting... complete\nSaving to '" + output +
                           "'... complete\n");
      EXPECT_EQ(r.err, "");
    }
  }
  if (rejected) {
    EXPECT_EQ(treeDifference(before, snapshot(work)), "");
    return;
  }
  const std::string combined = readFile(work / "combined.mesh"), separate = readFile(work / "separate.mesh");
  EXPECT_EQ(combined, readFile(work / "combined2.mesh")) << "two runs differ";
  EXPECT_EQ(separate, readFile(work / "separate2.mesh")) << "two runs differ";
  const obj2mesh::Model* whole = verifiedModel(combined);
  const obj2mesh::Model* parts = verifiedModel(separate);
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
  EXPECT_EQ(toVector(all->indices()), indices);
}

// Read in chunks down to one byte, on one to three threads, every model
// gives the same shapes (and so the same files in both modes), or the same
// failure, as read in one chunk.
TEST_P(Models, ReadAlikeInAnyChunksOnAnyThreads) {
  const fs::path folder = model().parent_path();
  const MaterialLookup besideTheModel = [&](const std::string& name, std::string& contents) {
    if (!fs::is_regular_file(folder / name)) return false;
    contents = readFile(folder / name);
    return true;
  };
  auto read = [&](unsigned threads, size_t chunkBytes, ObjShapes& shapes, Failure& failure) {
    ReadOptions options;
    options.threads = threads;
    options.chunkBytes = chunkBytes;
    return readObjFile(model().string(), besideTheModel, shapes, failure, options);
  };
  ObjShapes whole;
  Failure wholeFailure;
  const bool ok = read(1, fs::file_size(model()) + 1, whole, wholeFailure);
  for (const auto& [threads, chunkBytes] : {std::pair{1u, size_t(1)}, {1u, size_t(4093)}, {2u, size_t(1)},
                                           {2u, size_t(777)}, {3u, size_t(7)}, {3u, size_t(65536)}}) {
    SCOPED_TRACE(testing::Message() << threads << " threads, chunks of " << chunkBytes);
    ObjShapes shapes;
    Failure failure;
    ASSERT_EQ(read(threads, chunkBytes, shapes, failure), ok);
    EXPECT_EQ(failure.line, wholeFailure.line);
    EXPECT_EQ(failure.reason, wholeFailure.reason);
    EXPECT_TRUE(sameShapes(shapes, whole));
  }
  if (!ok) return;
  // With every option: texture coordinates and normals one per vertex,
  // parts that tile the indices.
  LoadOptions load;
  load.materials = besideTheModel;
  for (bool combine : {true, false}) {
    Options options;
    options.combineMeshes = combine;
    ConvertResult plain = convertObjFile(model().string(), options, load);
    options.texcoords = options.alignNormals = options.parts = true;
    ConvertResult textured = convertObjFile(model().string(), options, load);
    ASSERT_TRUE(plain.ok() && textured.ok());
    const char* failed = pipeline_check::checkTextured(textured, plain, whole, options);
    EXPECT_EQ(failed, nullptr) << failed << (combine ? " combined" : " separate");
  }
}

INSTANTIATE_TEST_SUITE_P(Shared, Models, testing::ValuesIn(kSharedModelFolders), modelName);

// The good models end to end three times (26 MB), read in chunks of the usual
// size, so that records and the load's lists outgrow their memory at once.
TEST(SharedModels, ConcatenatedReadAlikeOnManyThreads) {
  if (!fs::is_directory(kSharedModels)) GTEST_SKIP() << kSharedModels.lexically_normal().string() << " not found";
  std::string text;
  for (int copy = 0; copy < 3; ++copy)
    for (const std::string& folder : kSharedModelFolders)
      if (!kRejected.count(folder))
        for (const auto& file : fs::directory_iterator(kSharedModels / folder))
          if (file.path().extension() == ".obj") text += readFile(file.path()) + "\n";
  ReadOptions options;
  options.threads = 1;
  const Loaded one = loadText(text, {}, options);
  ASSERT_TRUE(one.ok) << one.failure.line << ": " << one.failure.reason;
  for (unsigned threads : {2u, 3u, 8u}) {
    options.threads = threads;
    EXPECT_TRUE(sameShapes(loadText(text, {}, options).shapes, one.shapes)) << threads << " threads";
  }
}

// The shared models are the ones kSharedModelFolders names; a skip without
// them.
TEST(SharedModels, Present) {
  if (!fs::is_directory(kSharedModels)) GTEST_SKIP() << kSharedModels.lexically_normal().string() << " not found";
  std::set<std::string> folders;
  for (const auto& entry : fs::directory_iterator(kSharedModels))
    if (entry.is_directory()) folders.insert(entry.path().filename().string());
  EXPECT_EQ(folders, std::set<std::string>(kSharedModelFolders.begin(), kSharedModelFolders.end()));
}

}  // namespace
