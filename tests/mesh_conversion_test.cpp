// The mesh file's bytes: pinned by hand for the smallest files, and compared
// with a deliberately naive builder for many shape mixes in both modes.

#include <array>
#include <cctype>
#include <cstring>
#include <set>

#include "test_support.h"

namespace {

using obj2mesh::Vec3;

// A shape with `vertices` positions, `normals` normals and `triangles`
// triangles; every float differs (seeded by `seed`) and every index names
// one of its vertices.
ObjShape makeShape(size_t vertices, size_t normals, size_t triangles, float seed = 0) {
  ObjShape shape;
  for (size_t i = 0; i < 3 * vertices; ++i) shape.positions.push_back(seed + float(i) + 1);
  for (size_t i = 0; i < 3 * normals; ++i) shape.normals.push_back(-seed - float(i) - 0.5f);
  for (size_t i = 0; i < 3 * triangles; ++i) shape.indices.push_back(uint32_t((i * 7 + 1) % (vertices ? vertices : 1)));
  for (size_t i = 0; i < triangles; ++i) shape.materialIds.push_back(int32_t(i) - 1);
  return shape;
}

std::vector<uint8_t> convert(std::vector<ObjShape> shapes, bool combine) {
  flatbuffers::FlatBufferBuilder builder;
  EXPECT_TRUE(convertShapes(shapes, combine, builder));
  return std::vector<uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
}

// The plainest way to build the same file: copy everything into standard
// vectors (merging all shapes in combined mode) and hand them to the
// generated helpers, positions, normals, indices, then the table.
std::vector<uint8_t> referenceBytes(const std::vector<ObjShape>& shapes, bool combine) {
  flatbuffers::FlatBufferBuilder fbb;
  auto vec3s = [](const PodArray<float>& values, std::vector<Vec3>& out) {
    for (size_t i = 0; i + 3 <= values.size(); i += 3) out.emplace_back(values[i], values[i + 1], values[i + 2]);
  };
  std::vector<flatbuffers::Offset<obj2mesh::Mesh>> meshes;
  auto addMesh = [&](const std::vector<Vec3>& p, const std::vector<Vec3>& n, const std::vector<uint32_t>& i) {
    auto positions = fbb.CreateVectorOfStructs(p);
    auto normals = fbb.CreateVectorOfStructs(n);
    auto indices = fbb.CreateVector(i);
    meshes.push_back(obj2mesh::CreateMesh(fbb, positions, normals, indices));
  };
  if (combine) {
    std::vector<Vec3> p, n;
    std::vector<uint32_t> i;
    for (const ObjShape& shape : shapes) {
      uint32_t base = uint32_t(p.size());
      for (uint32_t index : shape.indices) i.push_back(index + base);
      vec3s(shape.positions, p);
      vec3s(shape.normals, n);
    }
    addMesh(p, n, i);
  } else {
    for (const ObjShape& shape : shapes) {
      std::vector<Vec3> p, n;
      vec3s(shape.positions, p);
      vec3s(shape.normals, n);
      addMesh(p, n, std::vector<uint32_t>(shape.indices.begin(), shape.indices.end()));
    }
  }
  fbb.Finish(obj2mesh::CreateModel(fbb, fbb.CreateVector(meshes)));
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
  uint16_t v;
  std::memcpy(&v, b.data() + at, 2);
  return v;
}

// Builds an expected file image field by field; untouched bytes stay 0.
struct Image {
  std::vector<uint8_t> bytes;
  explicit Image(size_t size) : bytes(size, 0) {}
  template <class T>
  Image& put(size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
    return *this;
  }
};

TEST(MeshFile, SingleTriangleBytesArePinned) {
  Image want(116);
  want.put<uint32_t>(0, 12);                                           // root: the Model table
  want.put<uint16_t>(6, 6).put<uint16_t>(8, 8).put<uint16_t>(10, 4);  // Model vtable
  want.put<int32_t>(12, 12 - 6).put<uint32_t>(16, 20 - 16);           // Model table -> meshes
  want.put<uint32_t>(20, 1).put<uint32_t>(24, 40 - 24);               // meshes vector
  uint16_t meshVtable[] = {10, 16, 4, 8, 12};
  for (int i = 0; i < 5; ++i) want.put<uint16_t>(30 + 2 * i, meshVtable[i]);
  want.put<int32_t>(40, 40 - 30);                                      // Mesh table
  want.put<uint32_t>(44, 76 - 44).put<uint32_t>(48, 72 - 48).put<uint32_t>(52, 56 - 52);
  want.put<uint32_t>(56, 3).put<uint32_t>(60, 0).put<uint32_t>(64, 1).put<uint32_t>(68, 2);  // indices
  want.put<uint32_t>(72, 0);                                           // normals: present, empty
  want.put<uint32_t>(76, 3);                                           // positions
  for (int i = 0; i < 9; ++i) want.put<float>(80 + 4 * i, float(i + 1));

  for (bool combine : {true, false}) {
    SCOPED_TRACE(combine);
    ObjShape triangle = makeShape(3, 0, 1);
    triangle.indices = {0, 1, 2};
    std::vector<uint8_t> bytes = convert({triangle}, combine);
    EXPECT_EQ(bytes, want.bytes);
    EXPECT_NE(verifiedModel(bytes.data(), bytes.size()), nullptr);
  }
  // The same file from OBJ text, through the reader.
  EXPECT_EQ(convertText("v 1 2 3\nv 4 5 6\nv 7 8 9\nf 1 2 3\n", true), want.bytes);
}

TEST(MeshFile, NoShapes) {
  std::vector<uint8_t> separate = convert({}, false);
  ASSERT_EQ(separate.size(), 24u);
  const obj2mesh::Model* model = verifiedModel(separate.data(), separate.size());
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->meshes()->size(), 0u);

  std::vector<uint8_t> combined = convert({}, true);
  ASSERT_EQ(combined.size(), 68u);
  model = verifiedModel(combined.data(), combined.size());
  ASSERT_NE(model, nullptr);
  ASSERT_EQ(model->meshes()->size(), 1u);
  const obj2mesh::Mesh* mesh = model->meshes()->Get(0);
  EXPECT_EQ(mesh->positions()->size() + mesh->normals()->size() + mesh->indices()->size(), 0u);
}

TEST(MeshFile, TwoShapesInBothModes) {
  std::vector<ObjShape> shapes{makeShape(3, 0, 1, 0), makeShape(3, 3, 1, 100)};
  for (ObjShape& shape : shapes) shape.indices = {0, 1, 2};

  std::vector<uint8_t> combined = convert(shapes, true);
  const obj2mesh::Model* model = verifiedModel(combined.data(), combined.size());
  ASSERT_NE(model, nullptr);
  ASSERT_EQ(model->meshes()->size(), 1u);
  const obj2mesh::Mesh* mesh = model->meshes()->Get(0);
  EXPECT_EQ(std::vector<uint32_t>(mesh->indices()->begin(), mesh->indices()->end()),
            (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(mesh->positions()->size(), 6u);
  // The first shape has no normals: the merged list is only the second's,
  // no longer aligned with the positions.
  ASSERT_EQ(mesh->normals()->size(), 3u);
  EXPECT_EQ(mesh->normals()->Get(0)->x(), shapes[1].normals[0]);
  EXPECT_EQ(mesh->positions()->Get(3)->x(), shapes[1].positions[0]);

  std::vector<uint8_t> separate = convert(shapes, false);
  model = verifiedModel(separate.data(), separate.size());
  ASSERT_NE(model, nullptr);
  ASSERT_EQ(model->meshes()->size(), 2u);
  for (const obj2mesh::Mesh* m : *model->meshes()) {
    EXPECT_EQ(std::vector<uint32_t>(m->indices()->begin(), m->indices()->end()), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(m->positions()->size(), 3u);
  }
  EXPECT_EQ(model->meshes()->Get(0)->normals()->size(), 0u);
  EXPECT_EQ(model->meshes()->Get(1)->normals()->size(), 3u);
}

// Every Mesh table points at one shared vtable, distinct from the Model's:
// a file holds exactly two vtables.
TEST(MeshFile, AllMeshesShareOneVtable) {
  for (size_t count : {2, 3, 7}) {
    std::vector<ObjShape> shapes;
    for (size_t s = 0; s < count; ++s) shapes.push_back(makeShape(s % 3 + 1, s % 2, s, float(s)));
    std::vector<uint8_t> bytes = convert(shapes, false);
    ASSERT_NE(verifiedModel(bytes.data(), bytes.size()), nullptr);
    size_t model = u32(bytes, 0);
    size_t modelVtable = model - int32_t(u32(bytes, model));
    EXPECT_EQ(u16(bytes, modelVtable), 6);
    size_t meshes = model + 4 + u32(bytes, model + 4);
    ASSERT_EQ(u32(bytes, meshes), count);
    std::set<size_t> meshVtables;
    for (size_t i = 0; i < count; ++i) {
      size_t slot = meshes + 4 + 4 * i;
      size_t table = slot + u32(bytes, slot);
      meshVtables.insert(table - int32_t(u32(bytes, table)));
    }
    ASSERT_EQ(meshVtables.size(), 1u);
    size_t vtable = *meshVtables.begin();
    EXPECT_NE(vtable, modelVtable);
    std::vector<uint16_t> entries;
    for (int i = 0; i < 5; ++i) entries.push_back(u16(bytes, vtable + 2 * i));
    EXPECT_EQ(entries, (std::vector<uint16_t>{10, 16, 4, 8, 12}));
  }
}

struct MixCase {
  const char* what;
  std::vector<std::array<size_t, 3>> shapes;  // vertices, normals, triangles
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MixCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const MixCase kMixes[] = {
    {"none", {}},
    {"one empty shape", {{0, 0, 0}}},
    {"one triangle", {{3, 0, 1}}},
    {"triangle with normals", {{3, 3, 1}}},
    {"odd and even counts for padding", {{1, 0, 1}, {2, 1, 2}, {5, 4, 3}, {4, 0, 0}}},
    {"normals shorter than positions", {{3, 0, 1}, {3, 3, 1}, {6, 2, 4}}},
    {"empty shapes between full ones", {{0, 0, 0}, {8, 8, 12}, {0, 0, 0}, {2, 0, 0}}},
    {"many small shapes", {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}, {5, 5, 5}, {6, 6, 6}, {7, 0, 7}, {1, 0, 9}}},
    {"a larger shape", {{1000, 999, 1997}, {17, 3, 30}}},
};

class MeshMixes : public testing::TestWithParam<MixCase> {};

// The converter's bytes equal the naive builder's, and the size predicted
// from the counts alone equals the real size.
TEST_P(MeshMixes, MatchReferenceAndPredictedSize) {
  std::vector<ObjShape> shapes;
  float seed = 0;
  for (const auto& s : GetParam().shapes) shapes.push_back(makeShape(s[0], s[1], s[2], seed += 1000));
  for (bool combine : {true, false}) {
    SCOPED_TRACE(combine ? "combined" : "separate");
    uint64_t predicted = meshBufferSize(shapes, combine);
    std::vector<uint8_t> bytes = convert(shapes, combine);
    EXPECT_EQ(predicted, bytes.size());
    EXPECT_EQ(bytes, referenceBytes(shapes, combine));
    const obj2mesh::Model* model = verifiedModel(bytes.data(), bytes.size());
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshes()->size(), combine ? 1 : shapes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, MeshMixes, testing::ValuesIn(kMixes), [](const testing::TestParamInfo<MixCase>& info) {
  std::string name;
  for (const char* p = info.param.what; *p; ++p)
    if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
  return name;
});

// A shape whose lists claim huge lengths without holding any storage: the
// size computation reads only the counts, and a conversion that is refused
// must not touch the data either.
ObjShape hollowShape(uint64_t vertices, uint64_t normals, uint64_t indices) {
  ObjShape shape;
  shape.positions.count = size_t(3 * vertices);
  shape.normals.count = size_t(3 * normals);
  shape.indices.count = size_t(indices);
  return shape;
}

// Hollow shapes must never be copied (a copy would read their storage).
std::vector<ObjShape> hollowShapes(std::initializer_list<std::array<uint64_t, 3>> counts) {
  std::vector<ObjShape> shapes;
  for (const auto& c : counts) shapes.push_back(hollowShape(c[0], c[1], c[2]));
  return shapes;
}

void dropHollow(std::vector<ObjShape>& shapes) {
  for (ObjShape& shape : shapes) shape.positions.count = shape.normals.count = shape.indices.count = 0;
}

TEST(MeshBufferSize, GrowsByElementSizesNearTheLimit) {
  for (bool combine : {true, false}) {
    std::vector<ObjShape> small{makeShape(3, 3, 1)};
    uint64_t base = meshBufferSize(small, combine);
    const uint64_t huge = 170000000;  // 12 * huge is just below 2 GiB
    std::vector<ObjShape> hollow = hollowShapes({{3 + huge, 3, 3}, {0, huge / 8, 0}});
    uint64_t expected = base + 12 * huge + 12 * (huge / 8);
    if (!combine) expected += 3 * 4 + 16;  // the second Mesh: three empty vectors and a table
    if (!combine) expected += 4;           // its entry in the meshes vector
    EXPECT_EQ(meshBufferSize(hollow, combine), expected);
    dropHollow(hollow);
  }
}

TEST(MeshBufferSize, RefusesBuffersOverTheLimit) {
  for (bool combine : {true, false}) {
    // One empty triangle-less shape has this many bytes of overhead; fill
    // the rest with indices so the total lands just past the limit.
    std::vector<ObjShape> empty{ObjShape()};
    uint64_t overhead = meshBufferSize(empty, combine);
    uint64_t indices = (kMaxMeshBufferSize - overhead) / 4 + 1;
    std::vector<ObjShape> shapes = hollowShapes({{0, 0, indices}});
    ASSERT_GT(meshBufferSize(shapes, combine), kMaxMeshBufferSize);
    ASSERT_LE(meshBufferSize(shapes, combine) - 4, kMaxMeshBufferSize);
    flatbuffers::FlatBufferBuilder builder;
    EXPECT_FALSE(convertShapes(shapes, combine, builder));
    dropHollow(shapes);

    // Counts whose byte size overflows 32 bits must not wrap to something small.
    std::vector<ObjShape> vast = hollowShapes({{uint64_t(1) << 31, 0, 0}});
    EXPECT_GT(meshBufferSize(vast, combine), kMaxMeshBufferSize);
    EXPECT_FALSE(convertShapes(vast, combine, builder));
    dropHollow(vast);
  }
}

}  // namespace
