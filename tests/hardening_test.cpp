// Regressions found by fuzzing and by hostile input, checked in memory:
// every input kept under tests/data/fuzz/ goes through the fuzzers' own
// checks again; a library named on many lines is parsed once; and the size
// limit of a mesh file is applied from the element counts alone, before
// anything is built.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "../fuzz/material_check.h"
#include "../fuzz/pipeline_check.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Inputs the fuzzers once failed on: convert/ for fuzz_convert, material/
// for fuzz_material.
TEST(KeptFuzzInputs, PassTheFuzzersChecks) {
  const fs::path root = fs::path(OBJ2MESH_TEST_DATA) / "fuzz";
  size_t replayed = 0;
  for (const char* target : {"convert", "material"}) {
    if (!fs::is_directory(root / target)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(root / target)) {
      SCOPED_TRACE(entry.path().string());
      const std::string input = contentsOf(entry.path());
      const char* failed = std::string(target) == "convert"
                               ? pipeline_check::checkPipeline(input.data(), input.size())
                               : material_check::checkMaterialLibrary(input.data(), input.size());
      EXPECT_EQ(failed, nullptr) << "invariant violated: " << failed;
      ++replayed;
    }
  }
  if (replayed == 0) GTEST_SKIP() << "no kept inputs under " << root;
}

// Parsing a library again registers no name, so a file naming one library
// on many lines (under several spellings) must not pile up copies of its
// materials: that took time and memory in the product of the two sizes.
TEST(MaterialLibraries, ALibraryNamedOnManyLinesIsParsedOnce) {
  std::string library;
  for (int i = 0; i < 1000; ++i) library += "newmtl m" + std::to_string(i) + "\n";
  MemoryMaterialReader reader;
  reader.files = {{"big.mtl", library}, {"./big.mtl", library}, {"other.mtl", "newmtl m5\nnewmtl extra\n"}};

  std::string text = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  for (int i = 0; i < 3000; ++i) text += i % 3 ? "mtllib big.mtl\n" : "mtllib ./big.mtl\n";
  text += "mtllib other.mtl\nusemtl m5\nf 1 2 3\nusemtl m6\nf 1 2 3\nusemtl extra\nf 1 2 3\n";
  std::vector<ObjShape> shapes;
  std::vector<ObjMaterial> materials;
  std::string errorText;
  LoadResult loaded = loadObjBuffer(text.data(), text.size(), "many.obj", shapes, materials, errorText, reader);
  ASSERT_TRUE(loaded.ok()) << loaded.reason;
  // One copy of big.mtl, then other.mtl.
  ASSERT_EQ(materials.size(), 1002u);
  EXPECT_EQ(materials[1001].name, "extra");
  // The names still resolve to distinct ids, so each switch opens a group.
  ASSERT_EQ(shapes.size(), 1u);
  EXPECT_EQ(shapes[0].vertexCount(), 9u);
  std::vector<int32_t> ids(shapes[0].materialIds.begin(), shapes[0].materialIds.end());
  EXPECT_EQ(ids, (std::vector<int32_t>{5, 6, 1001}));
}

// Shapes whose lists claim `counts` elements without holding any: enough
// for the size arithmetic, which reads nothing but the counts. Conversion
// must refuse them before it touches a value.
struct CountedShape {
  uint64_t positions, normals, indices;
};

struct HollowShapes {
  std::vector<ObjShape> shapes;
  explicit HollowShapes(const std::vector<CountedShape>& counts) {
    for (const CountedShape& c : counts) {
      shapes.emplace_back();
      shapes.back().positions.count = size_t(c.positions) * 3;
      shapes.back().normals.count = size_t(c.normals) * 3;
      shapes.back().indices.count = size_t(c.indices);
    }
  }
  ~HollowShapes() {
    for (ObjShape& shape : shapes) shape.positions.count = shape.normals.count = shape.indices.count = 0;
  }
};

uint64_t builtSize(const std::vector<CountedShape>& counts, bool combine) {
  std::vector<ObjShape> shapes;
  for (const CountedShape& c : counts) {
    ObjShape shape;
    shape.positions.resize(size_t(c.positions) * 3);
    shape.normals.resize(size_t(c.normals) * 3);
    shape.indices.resize(size_t(c.indices));
    shapes.push_back(std::move(shape));
  }
  flatbuffers::FlatBufferBuilder builder;
  EXPECT_TRUE(convertShapes(shapes, combine, builder));
  return builder.GetSize();
}

TEST(MeshBufferSize, IsExactForBuiltBuffers) {
  const std::vector<std::vector<CountedShape>> cases = {
      {}, {{0, 0, 0}}, {{3, 0, 3}}, {{3, 3, 3}, {1, 0, 0}}, {{5, 2, 9}, {0, 0, 0}, {7, 7, 12}}};
  for (const auto& counts : cases) {
    for (bool combine : {true, false}) {
      HollowShapes hollow(counts);
      EXPECT_EQ(meshBufferSize(hollow.shapes, combine), builtSize(counts, combine))
          << counts.size() << " shapes, combined " << combine;
    }
  }
}

// Vec3 elements take 12 bytes and indices 4: the size grows by exactly that
// from an empty mesh, in 64-bit arithmetic far beyond 32 bits.
TEST(MeshBufferSize, GrowsByTheElementSizesWithoutWrapping) {
  HollowShapes empty({{0, 0, 0}});
  const uint64_t base = meshBufferSize(empty.shapes, true);
  struct Case {
    uint64_t positions, normals, indices;
  } cases[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 3}, {178956970, 0, 0}, {uint64_t(1) << 32, 0, 0},
               {0, 0, (uint64_t(1) << 32) + 3}, {uint64_t(1) << 40, uint64_t(1) << 40, uint64_t(1) << 41}};
  for (const Case& c : cases) {
    HollowShapes hollow({{c.positions, c.normals, c.indices}});
    EXPECT_EQ(meshBufferSize(hollow.shapes, true), base + 12 * c.positions + 12 * c.normals + 4 * c.indices)
        << c.positions << " " << c.normals << " " << c.indices;
  }
}

// The largest buffer that fits is accepted by the size test; 4 more bytes
// are refused, and refusing builds nothing (the builder stays empty).
TEST(MeshBufferSize, TheLimitIsCheckedBeforeBuilding) {
  HollowShapes empty({{0, 0, 0}});
  const uint64_t base = meshBufferSize(empty.shapes, true);
  // Fill up to the limit with indices (4 bytes each), rounded down to whole
  // triangles, then top up with single positions.
  const uint64_t room = kMaxMeshBufferSize - base;
  const uint64_t indices = room / 12 * 3;
  const uint64_t positions = (room - 4 * indices) / 12;
  {
    HollowShapes fits({{positions, 0, indices}});
    const uint64_t size = meshBufferSize(fits.shapes, true);
    EXPECT_LE(size, kMaxMeshBufferSize);
    EXPECT_GT(size + 12, kMaxMeshBufferSize);
  }
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
    HollowShapes hollow(c.counts);
    EXPECT_GT(meshBufferSize(hollow.shapes, c.combine), kMaxMeshBufferSize);
    flatbuffers::FlatBufferBuilder builder;
    EXPECT_FALSE(convertShapes(hollow.shapes, c.combine, builder));
    EXPECT_EQ(builder.GetSize(), 0u);
  }
}

}  // namespace
