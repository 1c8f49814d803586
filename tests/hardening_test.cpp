// Hostile input checked in memory: every input kept under tests/data/fuzz/
// goes through the fuzzers' own checks; a library named on many lines is
// parsed once; and the size limit of a mesh file is applied from the
// element counts alone, before anything is built.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "../fuzz/pipeline_check.h"
#include "material_library.h"
#include "mesh_conversion.h"
#include "process_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Inputs kept from fuzzing, under convert/.
TEST(KeptFuzzInputs, PassTheFuzzersChecks) {
  const fs::path root = fs::path(OBJ2MESH_TEST_DATA) / "fuzz" / "convert";
  size_t replayed = 0;
  if (fs::is_directory(root)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
      SCOPED_TRACE(entry.path().string());
      const std::string input = contentsOf(entry.path());
      const char* failed = pipeline_check::checkPipeline(input.data(), input.size());
      EXPECT_EQ(failed, nullptr) << "invariant violated: " << failed;
      ++replayed;
    }
  }
  if (replayed == 0) GTEST_SKIP() << "no kept inputs under " << root;
}

// Parsing a library again registers no name, so a file naming one library
// on many lines (under several spellings) must not pile up copies of its
// materials, which would take time and memory in the product of the two
// sizes.
TEST(MaterialLibraries, ALibraryNamedOnManyLinesIsParsedOnce) {
  std::string library;
  for (int i = 0; i < 1000; ++i) library += "newmtl m" + std::to_string(i) + "\n";
  const std::map<std::string, std::string> libraries = {
      {"big.mtl", library}, {"./big.mtl", library}, {"other.mtl", "newmtl m5\nnewmtl extra\n"}};
  MaterialTable table;
  for (int i = 0; i < 3000; ++i) table.readLibrary(i % 3 ? "big.mtl" : "./big.mtl", libraryLookup(libraries));
  table.readLibrary("other.mtl", libraryLookup(libraries));
  // One copy of big.mtl, then other.mtl.
  EXPECT_EQ(table.materialCount(), 1002u);
  EXPECT_EQ(table.find("m5"), 5);
  EXPECT_EQ(table.find("extra"), 1001);

  // The names still resolve to distinct ids, so each switch opens a group.
  std::string text = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  for (int i = 0; i < 3000; ++i) text += i % 3 ? "mtllib big.mtl\n" : "mtllib ./big.mtl\n";
  text += "mtllib other.mtl\nusemtl m5\nf 1 2 3\nusemtl m6\nf 1 2 3\nusemtl extra\nf 1 2 3\n";
  Loaded loaded = loadText(text, libraries);
  ASSERT_TRUE(loaded.ok) << loaded.failure.reason;
  ASSERT_EQ(loaded.shapes.count(), 1u);
  EXPECT_EQ(loaded.shapes.vertexCount(), 9u);
}

// Shapes that claim `counts` elements without holding any: enough for the
// size arithmetic, which reads nothing but the shape records. Conversion
// must refuse them before it touches a value.
struct CountedShape {
  uint64_t positions, normals, indices;
};

ObjShapes hollowShapes(const std::vector<CountedShape>& counts) {
  ObjShapes shapes;
  size_t positions = 0, normals = 0, indices = 0;
  for (const CountedShape& c : counts)
    shapes.shapes.push_back({0, positions += size_t(c.positions), normals += size_t(c.normals),
                             indices += size_t(c.indices)});
  return shapes;
}

uint64_t builtSize(const std::vector<CountedShape>& counts, bool combine) {
  ObjShapes shapes = hollowShapes(counts);
  shapes.positions.resize(3 * shapes.vertexCount());
  shapes.normals.resize(3 * shapes.normalCount());
  shapes.indices.resize(shapes.indexCount());
  flatbuffers::DetachedBuffer buffer;
  Failure failure;
  EXPECT_TRUE(convertShapes(shapes, Options{combine}, buffer, failure));
  return buffer.size();
}

TEST(MeshBufferSize, IsExactForBuiltBuffers) {
  const std::vector<std::vector<CountedShape>> cases = {
      {}, {{0, 0, 0}}, {{3, 0, 3}}, {{3, 3, 3}, {1, 0, 0}}, {{5, 2, 9}, {0, 0, 0}, {7, 7, 12}}};
  for (const auto& counts : cases) {
    for (bool combine : {true, false}) {
      EXPECT_EQ(meshBufferSize(hollowShapes(counts), Options{combine}), builtSize(counts, combine))
          << counts.size() << " shapes, combined " << combine;
    }
  }
}

// Vec3 elements take 12 bytes and indices 4: the size grows by exactly that
// from an empty mesh, in 64-bit arithmetic far beyond 32 bits.
TEST(MeshBufferSize, GrowsByTheElementSizesWithoutWrapping) {
  const uint64_t base = meshBufferSize(hollowShapes({{0, 0, 0}}), Options{});
  const CountedShape cases[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 3}, {178956970, 0, 0}, {uint64_t(1) << 32, 0, 0},
                                {0, 0, (uint64_t(1) << 32) + 3}, {uint64_t(1) << 40, uint64_t(1) << 40, uint64_t(1) << 41}};
  for (const CountedShape& c : cases) {
    EXPECT_EQ(meshBufferSize(hollowShapes({c}), Options{}), base + 12 * c.positions + 12 * c.normals + 4 * c.indices)
        << c.positions << " " << c.normals << " " << c.indices;
  }
}

// The largest buffer that fits is accepted by the size test; 4 more bytes
// are refused with both sizes in the reason, and refusing builds nothing.
TEST(MeshBufferSize, TheLimitIsCheckedBeforeBuilding) {
  const uint64_t base = meshBufferSize(hollowShapes({{0, 0, 0}}), Options{});
  // Fill up to the limit with indices (4 bytes each), rounded down to whole
  // triangles, then top up with single positions.
  const uint64_t room = kMaxMeshBufferSize - base;
  const uint64_t indices = room / 12 * 3;
  const uint64_t positions = (room - 4 * indices) / 12;
  const uint64_t size = meshBufferSize(hollowShapes({{positions, 0, indices}}), Options{});
  EXPECT_LE(size, kMaxMeshBufferSize);
  EXPECT_GT(size + 12, kMaxMeshBufferSize);
  struct Case {
    const char* name;
    std::vector<CountedShape> counts;
    bool combine;
  } refused[] = {
      {"one position too many", {{positions + 1, 0, indices}}, true},
      {"one triangle too many", {{positions, 0, indices + 3}}, true},
      {"two halves over the limit together", {{positions / 2 + 1, 0, indices / 2}, {positions / 2 + 1, 0, indices / 2}},
       true},
      {"the same, separate meshes", {{positions / 2 + 1, 0, indices / 2}, {positions / 2 + 1, 0, indices / 2}}, false},
      {"positions beyond 32 bits of bytes", {{uint64_t(1) << 30, 0, 0}}, true},
      {"normals alone over the limit", {{0, uint64_t(1) << 28, 0}}, false},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    ObjShapes shapes = hollowShapes(c.counts);
    const uint64_t over = meshBufferSize(shapes, Options{c.combine});
    EXPECT_GT(over, kMaxMeshBufferSize);
    flatbuffers::DetachedBuffer buffer;
    Failure failure;
    EXPECT_FALSE(convertShapes(shapes, Options{c.combine}, buffer, failure));
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(failure.reason, "the mesh file would take " + std::to_string(over) +
                                  " bytes, more than the 2147483646 a mesh file can hold");
    EXPECT_EQ(failure.kind, FailureKind::TooLarge);
  }
}

// Each kind of failure says so, through the public API.
TEST(Failures, SayTheirKind) {
  TempDir dir;
  const std::string rejected = "v 0 0 0\nf 1 2 3\n";
  EXPECT_EQ(loadObjFile((dir.path() / "missing.obj").string()).failure().kind, FailureKind::CannotRead);
  EXPECT_EQ(loadObjFile(dir.path().string()).failure().kind, FailureKind::CannotRead);
  const ConvertResult result = convertObjBuffer(rejected.data(), rejected.size(), "r.obj", libraryLookup({}));
  EXPECT_EQ(result.failure().kind, FailureKind::Rejected);
  const uint8_t byte = 0;
  const std::optional<Failure> written = writeMeshFile(dir.path().string(), &byte, 1);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->kind, FailureKind::CannotWrite);
}

}  // namespace
