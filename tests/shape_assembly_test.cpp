// Shape assembly: fan triangulation, welding within one face group, and the
// attribute copies each new vertex takes from the file-wide lists.

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <map>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "shape_assembly.h"

namespace {

using Face = std::vector<CornerIndex>;

CornerIndex C(int32_t v, int32_t vt = -1, int32_t vn = -1) { return {v, vt, vn}; }

// File-wide attribute lists whose values tell their source element apart:
// position k is (k, k + 0.25, k + 0.5), normal k is (-k, -k - 0.25, -k - 0.5),
// texture coordinate k is (k + 0.125, k + 0.375).
void add(PodArray<float>& list, std::initializer_list<float> values) { list.append(values.begin(), values.size()); }

struct Attributes {
  PodArray<float> positions, normals, texcoords;
  Attributes(int p, int n, int t) {
    for (int k = 0; k < p; ++k) addPosition(k);
    for (int k = 0; k < n; ++k) add(normals, {-k - 0.f, -k - 0.25f, -k - 0.5f});
    for (int k = 0; k < t; ++k) add(texcoords, {k + 0.125f, k + 0.375f});
  }
  void addPosition(int k) { add(positions, {k + 0.f, k + 0.25f, k + 0.5f}); }
};

std::vector<float> floats(const PodArray<float>& a) { return std::vector<float>(a.begin(), a.end()); }
std::vector<uint32_t> uints(const PodArray<uint32_t>& a) { return std::vector<uint32_t>(a.begin(), a.end()); }
std::vector<int32_t> ints(const PodArray<int32_t>& a) { return std::vector<int32_t>(a.begin(), a.end()); }

// The values a shape should hold when its vertices came from these source
// elements, in this order.
std::vector<float> gather(const PodArray<float>& source, const std::vector<int>& which, int width) {
  std::vector<float> out;
  for (int k : which)
    for (int i = 0; i < width; ++i) out.push_back(source[size_t(k) * width + i]);
  return out;
}

// Adds the faces of one group (line numbers 1, 2, ...) and flushes it.
bool assembleGroup(ObjShape& shape, FaceGroup& group, const Attributes& in, const std::vector<Face>& faces,
                   int32_t materialId, const std::string& name, AssemblyFailure& failure, uint64_t firstLine = 1) {
  group.materialId = materialId;
  uint64_t line = firstLine;
  for (const Face& face : faces)
    if (!addFace(shape, group, face.data(), face.size(), in.positions.size() / 3, line++, failure)) return false;
  return flushFaceGroup(shape, group, in.positions, in.normals, in.texcoords, name, failure);
}

struct Group {
  std::vector<Face> faces;
  int32_t materialId;
};

struct AssemblyCase {
  const char* what;
  int positions, normals, texcoords;  // sizes of the file-wide lists
  std::vector<Group> groups;          // flushed one after another into one shape
  std::vector<int> wantPositions, wantNormals, wantTexcoords;  // source elements, in vertex order
  std::vector<uint32_t> wantIndices;
  std::vector<int32_t> wantMaterialIds;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const AssemblyCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const AssemblyCase kCases[] = {
    {"two faces share vertices within a group", 4, 0, 0,
     {{{{C(0), C(1), C(2)}, {C(0), C(2), C(3)}}, -1}},
     {0, 1, 2, 3}, {}, {}, {0, 1, 2, 0, 2, 3}, {-1, -1}},
    {"a material switch starts new vertices, numbers continue", 4, 0, 0,
     {{{{C(0), C(1), C(2)}}, 0}, {{{C(0), C(2), C(3)}}, 1}},
     {0, 1, 2, 0, 2, 3}, {}, {}, {0, 1, 2, 3, 4, 5}, {0, 1}},
    {"pentagon fans from its first corner", 5, 0, 0,
     {{{{C(0), C(1), C(2), C(3), C(4)}}, 7}},
     {0, 1, 2, 3, 4}, {}, {}, {0, 1, 2, 0, 2, 3, 0, 3, 4}, {7, 7, 7}},
    {"vertices are numbered by first visit, not by index", 6, 0, 0,
     {{{{C(4), C(2), C(0), C(5)}, {C(5), C(2), C(1)}}, -1}},
     {4, 2, 0, 5, 1}, {}, {}, {0, 1, 2, 0, 2, 3, 3, 1, 4}, {-1, -1, -1}},
    {"a corner repeated within a face is one vertex", 2, 0, 0,
     {{{{C(0), C(0), C(1)}}, -1}},
     {0, 1}, {}, {}, {0, 0, 1}, {-1}},
    {"faces of fewer than three corners add nothing", 4, 0, 0,
     {{{{C(3)}, {C(3), C(2)}, {}, {C(0), C(1), C(2)}}, -1}},
     {0, 1, 2}, {}, {}, {0, 1, 2}, {-1}},
    {"normal and texcoord indices absent, negative, past the end or at the last element", 4, 2, 2,
     {{{{C(0, 1, 1), C(1, -1, -1), C(2, -5, -5), C(3, 2, 2)}}, -1}},
     {0, 1, 2, 3}, {1}, {1}, {0, 1, 2, 0, 2, 3}, {-1, -1}},
    {"components that name nothing still key the weld", 1, 1, 1,
     {{{{C(0), C(0, 0), C(0, -1, 0), C(0, 0, 0), C(0, 5), C(0, 6), C(0, 5)}}, -1}},
     {0, 0, 0, 0, 0, 0}, {0, 0}, {0, 0},
     {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 5, 0, 5, 4}, {-1, -1, -1, -1, -1}},
    {"a texcoord on a known position makes a new vertex", 3, 0, 1,
     {{{{C(0), C(1), C(2)}, {C(0, 0), C(1), C(2)}}, -1}},
     {0, 1, 2, 0}, {}, {0}, {0, 1, 2, 3, 1, 2}, {-1, -1}},
    {"v/vt/vn corners without any vt or vn lines", 3, 0, 0,
     {{{{C(0, 0, 0), C(1, 1, 1), C(2, 2, 2)}}, -1}},
     {0, 1, 2}, {}, {}, {0, 1, 2}, {-1}},
    {"only some vertices receive a normal; nothing pads the list", 3, 1, 0,
     {{{{C(0, -1, 0), C(1, -1, 0), C(2)}}, -1}},
     {0, 1, 2}, {0, 0}, {}, {0, 1, 2}, {-1}},
    {"vertices from a later group append after earlier ones", 3, 0, 0,
     {{{{C(2), C(1), C(0)}}, 3}, {{{C(0), C(1), C(2)}, {C(2), C(1), C(0)}}, -1}},
     {2, 1, 0, 0, 1, 2}, {}, {}, {0, 1, 2, 3, 4, 5, 5, 4, 3}, {3, -1, -1}},
};

class AssemblyTable : public testing::TestWithParam<AssemblyCase> {};

TEST_P(AssemblyTable, ShapeLists) {
  const AssemblyCase& c = GetParam();
  Attributes in(c.positions, c.normals, c.texcoords);
  ObjShape shape;
  FaceGroup group;
  for (const Group& g : c.groups) {
    AssemblyFailure failure;
    ASSERT_TRUE(assembleGroup(shape, group, in, g.faces, g.materialId, "s", failure));
    ASSERT_EQ(failure.error, AssemblyError::None);
  }
  EXPECT_EQ(floats(shape.positions), gather(in.positions, c.wantPositions, 3));
  EXPECT_EQ(floats(shape.normals), gather(in.normals, c.wantNormals, 3));
  EXPECT_EQ(floats(shape.texcoords), gather(in.texcoords, c.wantTexcoords, 2));
  EXPECT_EQ(uints(shape.indices), c.wantIndices);
  EXPECT_EQ(ints(shape.materialIds), c.wantMaterialIds);
  EXPECT_EQ(shape.name, "s");
}

INSTANTIATE_TEST_SUITE_P(Cases, AssemblyTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<AssemblyCase>& info) {
                           std::string name;
                           bool wordStart = true;
                           for (const char* p = info.param.what; *p; ++p) {
                             unsigned char c = static_cast<unsigned char>(*p);
                             if (std::isalnum(c)) name += char(wordStart ? std::toupper(c) : c);
                             wordStart = !std::isalnum(c);
                           }
                           return name;
                         });

// Many distinct corners in large groups (so the vertex cache grows well past
// its first size) alternating with small ones (so a cache reused after a
// large group must start clean), checked against a plain ordered map that
// follows the welding rule literally.
TEST(ShapeAssembly, LargeGroupsMatchPlainMapWelding) {
  const int kPositions = 300, kNormals = 40, kTexcoords = 40;
  Attributes in(kPositions, kNormals, kTexcoords);
  std::mt19937 random(7);
  auto component = [&](int count) { return int32_t(random() % (count + 6)) - 3; };  // -3 .. count+2
  ObjShape shape;
  FaceGroup group;
  std::vector<float> wantPositions, wantNormals, wantTexcoords;
  std::vector<uint32_t> wantIndices;
  for (int g = 0; g < 6; ++g) {
    std::map<std::tuple<int32_t, int32_t, int32_t>, uint32_t> cache;
    auto weld = [&](const CornerIndex& c) {
      auto key = std::make_tuple(c.v_idx, c.vt_idx, c.vn_idx);
      auto found = cache.find(key);
      if (found != cache.end()) return found->second;
      uint32_t vertex = uint32_t(wantPositions.size() / 3);
      for (int i = 0; i < 3; ++i) wantPositions.push_back(in.positions[3 * c.v_idx + i]);
      if (c.vn_idx >= 0 && c.vn_idx < kNormals)
        for (int i = 0; i < 3; ++i) wantNormals.push_back(in.normals[3 * c.vn_idx + i]);
      if (c.vt_idx >= 0 && c.vt_idx < kTexcoords)
        for (int i = 0; i < 2; ++i) wantTexcoords.push_back(in.texcoords[2 * c.vt_idx + i]);
      cache.emplace(key, vertex);
      return vertex;
    };
    std::vector<Face> faces;
    for (int f = 0, n = g % 2 ? 3 : 2000; f < n; ++f) {
      Face face(3 + random() % 4);
      for (CornerIndex& c : face) c = C(int32_t(random() % kPositions), component(kTexcoords), component(kNormals));
      for (size_t k = 2; k < face.size(); ++k)
        for (const CornerIndex* c : {&face[0], &face[k - 1], &face[k]}) wantIndices.push_back(weld(*c));
      faces.push_back(face);
    }
    AssemblyFailure failure;
    ASSERT_TRUE(assembleGroup(shape, group, in, faces, g, "", failure));
    ASSERT_EQ(failure.error, AssemblyError::None);
  }
  EXPECT_EQ(uints(shape.indices), wantIndices);
  EXPECT_EQ(floats(shape.positions), wantPositions);
  EXPECT_EQ(floats(shape.normals), wantNormals);
  EXPECT_EQ(floats(shape.texcoords), wantTexcoords);
}

TEST(ShapeAssembly, NothingIsSharedAcrossShapes) {
  Attributes in(3, 0, 0);
  ObjShape first, second;
  FaceGroup group;
  AssemblyFailure failure;
  ASSERT_TRUE(assembleGroup(first, group, in, {{C(0), C(1), C(2)}}, -1, "a", failure));
  ASSERT_TRUE(assembleGroup(second, group, in, {{C(0), C(1), C(2)}}, -1, "b", failure));
  EXPECT_EQ(uints(second.indices), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(floats(second.positions), floats(in.positions));
  EXPECT_EQ(floats(first.positions), floats(in.positions));
  EXPECT_EQ(first.name, "a");
  EXPECT_EQ(second.name, "b");
}

TEST(ShapeAssembly, EmptyGroupLeavesShapeUntouched) {
  Attributes in(3, 0, 0);
  ObjShape shape;
  FaceGroup group;
  AssemblyFailure failure;
  ASSERT_TRUE(assembleGroup(shape, group, in, {{C(0), C(1), C(2)}}, 4, "kept", failure));
  EXPECT_FALSE(flushFaceGroup(shape, group, in.positions, in.normals, in.texcoords, "other", failure));
  EXPECT_EQ(shape.name, "kept");
  EXPECT_EQ(shape.vertexCount(), 3u);
  EXPECT_EQ(shape.materialIds.size(), 1u);
}

TEST(ShapeAssembly, FacesWithoutTrianglesStillCount) {
  for (const std::vector<Face>& faces : std::vector<std::vector<Face>>{{{}}, {{C(0)}}, {{C(0), C(1)}}}) {
    Attributes in(2, 0, 0);
    ObjShape shape;
    FaceGroup group;
    AssemblyFailure failure;
    EXPECT_TRUE(assembleGroup(shape, group, in, faces, 1, "named", failure));
    EXPECT_EQ(failure.error, AssemblyError::None);
    EXPECT_EQ(shape.name, "named");
    EXPECT_TRUE(shape.positions.empty() && shape.normals.empty() && shape.texcoords.empty());
    EXPECT_TRUE(shape.indices.empty() && shape.materialIds.empty());
  }
}

// A face may name a vertex whose line comes after it: values are taken at
// the flush, when the vertex exists.
TEST(ShapeAssembly, ForwardReferenceResolvedAtFlush) {
  Attributes in(2, 1, 0);
  ObjShape shape;
  FaceGroup group;
  AssemblyFailure failure;
  Face face{C(0), C(1), C(2, -1, 0)};
  ASSERT_TRUE(addFace(shape, group, face.data(), face.size(), 2, 3, failure));
  in.addPosition(2);
  ASSERT_TRUE(flushFaceGroup(shape, group, in.positions, in.normals, in.texcoords, "", failure));
  ASSERT_EQ(failure.error, AssemblyError::None);
  EXPECT_EQ(floats(shape.positions), floats(in.positions));
  EXPECT_EQ(floats(shape.normals), floats(in.normals));
}

struct BadIndexCase {
  int32_t badIndex;
  int positionsAtFlush;
};

// A position index that names no vertex at the flush fails it, naming the
// line of the first face that used such a corner; nothing is read out of
// bounds.
TEST(ShapeAssembly, BadPositionIndexReportsItsLine) {
  const BadIndexCase cases[] = {{3, 3}, {1000000, 3}, {-1, 3}, {INT32_MIN, 3}, {INT32_MAX, 3}, {0, 0}};
  for (const BadIndexCase& c : cases) {
    SCOPED_TRACE(c.badIndex);
    Attributes in(c.positionsAtFlush, 0, 0);
    ObjShape shape;
    FaceGroup group;
    AssemblyFailure failure;
    int32_t good = c.positionsAtFlush ? 0 : c.badIndex;
    std::vector<Face> faces{{C(good), C(good), C(good)}, {C(good), C(c.badIndex), C(good)}, {C(c.badIndex), C(good), C(good)}};
    assembleGroup(shape, group, in, faces, -1, "", failure, 10);
    EXPECT_EQ(failure.error, AssemblyError::BadVertexIndex);
    EXPECT_EQ(failure.line, c.positionsAtFlush ? 11u : 10u);
    EXPECT_EQ(failure.vertexIndex, c.badIndex);
    EXPECT_EQ(failure.vertexCount, uint64_t(c.positionsAtFlush));
  }
}

// Vertex numbers are 32-bit: the vertex past the last number is refused
// instead of wrapping around to 0.
TEST(ShapeAssembly, RefusesVertexNumbersPast32Bits) {
  ObjShape shape;
  FaceGroup group;
  group.hasFaces = true;
  group.firstVertex = UINT32_MAX - 1;
  AssemblyFailure failure;
  Face face{C(0), C(1), C(2)};
  EXPECT_FALSE(addFace(shape, group, face.data(), face.size(), 3, 42, failure));
  EXPECT_EQ(failure.error, AssemblyError::TooManyVertices);
  EXPECT_EQ(failure.line, 42u);
  EXPECT_EQ(shape.indices[0], UINT32_MAX - 1);
  EXPECT_EQ(shape.indices[1], UINT32_MAX);
}

}  // namespace
