// The mesh file's bytes: pinned by hand for the smallest files, and compared
// with a deliberately naive builder for many shape mixes in both modes.

#include <cstring>
#include <set>

#include "mesh_conversion.h"
#include "test_support.h"

namespace {

struct ShapeSize {
  size_t vertices, normals, triangles;
};

// Shapes of the given sizes, one after another; every float differs (shape
// k's are seeded with 1000 * (k + 1)) and every index names one of its
// shape's vertices.
ObjShapes makeShapes(const std::vector<ShapeSize>& sizes) {
  ObjShapes shapes;
  float seed = 0;
  for (const ShapeSize& size : sizes) {
    seed += 1000;
    for (size_t i = 0; i < 3 * size.vertices; ++i) shapes.positions.push_back(seed + float(i) + 1);
    for (size_t i = 0; i < 3 * size.normals; ++i) shapes.normals.push_back(-seed - float(i) - 0.5f);
    for (size_t i = 0; i < 3 * size.triangles; ++i)
      shapes.indices.push_back(uint32_t((i * 7 + 1) % (size.vertices ? size.vertices : 1)));
    shapes.shapes.push_back({0, shapes.positions.size() / 3, shapes.normals.size() / 3, shapes.indices.size()});
  }
  return shapes;
}

std::vector<uint8_t> convert(const std::vector<ShapeSize>& sizes, bool combine) {
  ObjShapes shapes = makeShapes(sizes);
  flatbuffers::DetachedBuffer buffer;
  Failure failure;
  EXPECT_TRUE(convertShapes(shapes, Options{combine}, buffer, failure));
  return std::vector<uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

// The plainest way to build the same file: copy everything into standard
// vectors (merging all shapes in combined mode) and hand them to the
// generated helpers, positions, normals, indices, then the table.
std::vector<uint8_t> referenceBytes(const std::vector<ShapeSize>& sizes, bool combine) {
  const ObjShapes shapes = makeShapes(sizes);
  struct Lists {
    std::vector<Vec3> p, n;
    std::vector<uint32_t> i;
  };
  std::vector<Lists> lists(combine ? 1 : shapes.count());
  for (size_t s = 0; s < shapes.count(); ++s) {
    Lists& to = lists[combine ? 0 : s];
    const ObjShapes::Range indices = shapes.indexRange(s), vertices = shapes.vertices(s), normals = shapes.normalRange(s);
    for (size_t k = indices.begin; k < indices.end; ++k) to.i.push_back(shapes.indices[k] + uint32_t(to.p.size()));
    for (size_t k = vertices.begin; k < vertices.end; ++k)
      to.p.emplace_back(shapes.positions[3 * k], shapes.positions[3 * k + 1], shapes.positions[3 * k + 2]);
    for (size_t k = normals.begin; k < normals.end; ++k)
      to.n.emplace_back(shapes.normals[3 * k], shapes.normals[3 * k + 1], shapes.normals[3 * k + 2]);
  }
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<obj2mesh::Mesh>> meshes;
  for (const Lists& l : lists) {
    auto positions = fbb.CreateVectorOfStructs(l.p);
    auto normals = fbb.CreateVectorOfStructs(l.n);
    auto indices = fbb.CreateVector(l.i);
    meshes.push_back(obj2mesh::CreateMesh(fbb, positions, normals, indices));
  }
  fbb.Finish(obj2mesh::CreateModel(fbb, fbb.CreateVector(meshes)));
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

template <class T>
T at(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

TEST(MeshFile, SingleTriangleBytesArePinned) {
  std::vector<uint8_t> want(116, 0);
  auto put = [&](size_t offset, auto value) { std::memcpy(want.data() + offset, &value, sizeof value); };
  put(0, uint32_t(12));                                            // root: the Model table
  put(6, uint16_t(6)), put(8, uint16_t(8)), put(10, uint16_t(4));  // Model vtable
  put(12, int32_t(12 - 6)), put(16, uint32_t(20 - 16));            // Model table -> meshes
  put(20, uint32_t(1)), put(24, uint32_t(40 - 24));                // meshes vector
  const uint16_t meshVtable[] = {10, 16, 4, 8, 12};
  for (int i = 0; i < 5; ++i) put(30 + 2 * i, meshVtable[i]);
  put(40, int32_t(40 - 30));                                       // Mesh table
  put(44, uint32_t(76 - 44)), put(48, uint32_t(72 - 48)), put(52, uint32_t(56 - 52));
  put(56, uint32_t(3)), put(60, uint32_t(0)), put(64, uint32_t(1)), put(68, uint32_t(2));  // indices
  put(72, uint32_t(0));                                            // normals: present, empty
  put(76, uint32_t(3));                                            // positions
  for (int i = 0; i < 9; ++i) put(80 + 4 * i, float(i + 1));

  // The same file from OBJ text, in both modes.
  for (bool combine : {true, false})
    EXPECT_EQ(convertText("v 1 2 3\nv 4 5 6\nv 7 8 9\nf 1 2 3\n", combine), want) << combine;
}

// With no shapes: a model of no meshes, or of one empty mesh; the "none"
// mix below checks their layout against the naive builder.
TEST(MeshFile, NoShapes) {
  EXPECT_EQ(convert({}, false).size(), 24u);
  EXPECT_EQ(convert({}, true).size(), 68u);
}

TEST(MeshFile, TwoShapesInBothModes) {
  const std::string text = "v 1 2 3\nv 4 5 6\nv 7 8 9\nvn 0 0 1\ng a\nf 1 2 3\ng b\nf 3//1 1//1 2//1\n";
  std::vector<uint8_t> combined = convertText(text, true), separate = convertText(text, false);

  const obj2mesh::Model* model = verifiedModel(combined.data(), combined.size());
  ASSERT_TRUE(model && model->meshes()->size() == 1);
  const obj2mesh::Mesh* mesh = model->meshes()->Get(0);
  EXPECT_EQ(toVector(mesh->indices()), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  ASSERT_EQ(mesh->positions()->size(), 6u);
  EXPECT_EQ(mesh->positions()->Get(3)->x(), 7.0f);
  // The first shape has no normals: the merged list is only the second's,
  // shorter than the positions and no longer aligned with them.
  ASSERT_EQ(mesh->normals()->size(), 3u);
  EXPECT_EQ(mesh->normals()->Get(0)->z(), 1.0f);

  model = verifiedModel(separate.data(), separate.size());
  ASSERT_TRUE(model && model->meshes()->size() == 2);
  for (const obj2mesh::Mesh* m : *model->meshes()) {
    EXPECT_EQ(toVector(m->indices()), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(m->positions()->size(), 3u);
  }
  EXPECT_EQ(model->meshes()->Get(0)->normals()->size(), 0u);
  EXPECT_EQ(model->meshes()->Get(1)->normals()->size(), 3u);
}

struct MixCase {
  const char* what;
  std::vector<ShapeSize> shapes;
};

void PrintTo(const MixCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const MixCase kMixes[] = {
    {"none", {}},
    {"one empty shape", {{0, 0, 0}}},
    {"triangle with normals", {{3, 3, 1}}},
    {"odd and even counts for padding", {{1, 0, 1}, {2, 1, 2}, {5, 4, 3}, {4, 0, 0}}},
    {"normals shorter than positions", {{3, 0, 1}, {3, 3, 1}, {6, 2, 4}}},
    {"empty shapes between full ones", {{0, 0, 0}, {8, 8, 12}, {0, 0, 0}, {2, 0, 0}}},
    {"many small shapes", {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}, {5, 5, 5}, {6, 6, 6}, {7, 0, 7}, {1, 0, 9}}},
    {"a larger shape", {{1000, 999, 1997}, {17, 3, 30}}},
};

class MeshMixes : public testing::TestWithParam<MixCase> {};

// The converter's bytes equal the naive builder's, the size predicted from
// the counts alone equals the real size, and every Mesh table points at one
// shared vtable, distinct from the Model's: a file holds two vtables.
TEST_P(MeshMixes, MatchReferenceAndPredictedSize) {
  const std::vector<ShapeSize>& shapes = GetParam().shapes;
  for (bool combine : {true, false}) {
    std::vector<uint8_t> bytes = convert(shapes, combine);
    EXPECT_EQ(meshBufferSize(makeShapes(shapes), Options{combine}), bytes.size()) << combine;
    EXPECT_EQ(bytes, referenceBytes(shapes, combine)) << combine;
    EXPECT_NE(verifiedModel(bytes.data(), bytes.size()), nullptr);

    auto vtableOf = [&](size_t table) { return table - at<int32_t>(bytes, table); };
    const size_t model = at<uint32_t>(bytes, 0), meshes = model + 4 + at<uint32_t>(bytes, model + 4);
    std::set<size_t> vtables{vtableOf(model)};
    for (size_t slot = meshes + 4; slot < meshes + 4 + 4 * at<uint32_t>(bytes, meshes); slot += 4)
      vtables.insert(vtableOf(slot + at<uint32_t>(bytes, slot)));
    EXPECT_EQ(vtables.size(), combine || !shapes.empty() ? 2u : 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, MeshMixes, testing::ValuesIn(kMixes), ByWhat());

// The size limit itself, far past what a test can build, is checked in
// hardening_test.

}  // namespace
