// Shape assembly: fan triangulation, welding within one face group, and the
// attribute copies each new vertex takes from the file-wide lists.

#include <climits>
#include <map>
#include <random>
#include <tuple>

#include "test_support.h"

namespace {

using Face = std::vector<CornerIndex>;

CornerIndex C(int32_t v, int32_t vt = -1, int32_t vn = -1) { return {v, vt, vn}; }

// File-wide attribute lists whose values tell their source element apart:
// position k is (k, k + 0.25, k + 0.5), normal k is (-k, -k - 0.25, -k - 0.5),
// texture coordinate k is (k + 0.125, k + 0.375).
struct Attributes {
  PodArray<float> positions, normals, texcoords;
  Attributes(int p, int n, int t) {
    for (float k = 0; k < p; ++k)
      for (float v : {k, k + 0.25f, k + 0.5f}) positions.push_back(v);
    for (float k = 0; k < n; ++k)
      for (float v : {-k, -k - 0.25f, -k - 0.5f}) normals.push_back(v);
    for (float k = 0; k < t; ++k)
      for (float v : {k + 0.125f, k + 0.375f}) texcoords.push_back(v);
  }
};

template <class T>
std::vector<T> list(const PodArray<T>& a) {
  return std::vector<T>(a.begin(), a.end());
}

// The values a shape should hold when its vertices came from these source
// elements, in this order.
std::vector<float> gather(const PodArray<float>& source, const std::vector<int>& which, int width) {
  std::vector<float> out;
  for (int k : which) out.insert(out.end(), source.begin() + k * width, source.begin() + (k + 1) * width);
  return out;
}

// Adds the faces of one group (on lines firstLine, firstLine + 1, ...) and
// flushes it.
bool assembleGroup(ObjShape& shape, FaceGroup& group, const Attributes& in, const std::vector<Face>& faces,
                   int32_t materialId, AssemblyFailure& failure, uint64_t firstLine = 1) {
  group.materialId = materialId;
  for (const Face& face : faces)
    if (!addFace(shape, group, face.data(), face.size(), in.positions.size() / 3, firstLine++, failure)) return false;
  return flushFaceGroup(shape, group, in.positions, in.normals, in.texcoords, "s", failure);
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

void PrintTo(const AssemblyCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const AssemblyCase kCases[] = {
    {"two faces share vertices within a group", 4, 0, 0, {{{{C(0), C(1), C(2)}, {C(0), C(2), C(3)}}, -1}},
     {0, 1, 2, 3}, {}, {}, {0, 1, 2, 0, 2, 3}, {-1, -1}},
    {"a material switch starts new vertices, numbers continue", 4, 0, 0,
     {{{{C(0), C(1), C(2)}}, 0}, {{{C(0), C(2), C(3)}}, 1}},
     {0, 1, 2, 0, 2, 3}, {}, {}, {0, 1, 2, 3, 4, 5}, {0, 1}},
    {"pentagon fans from its first corner", 5, 0, 0, {{{{C(0), C(1), C(2), C(3), C(4)}}, 7}},
     {0, 1, 2, 3, 4}, {}, {}, {0, 1, 2, 0, 2, 3, 0, 3, 4}, {7, 7, 7}},
    {"vertices are numbered by first visit, not by index", 6, 0, 0,
     {{{{C(4), C(2), C(0), C(5)}, {C(5), C(2), C(1)}}, -1}},
     {4, 2, 0, 5, 1}, {}, {}, {0, 1, 2, 0, 2, 3, 3, 1, 4}, {-1, -1, -1}},
    {"a corner repeated within a face is one vertex", 2, 0, 0, {{{{C(0), C(0), C(1)}}, -1}},
     {0, 1}, {}, {}, {0, 0, 1}, {-1}},
    {"faces of fewer than three corners add nothing", 4, 0, 0, {{{{C(3)}, {C(3), C(2)}, {}, {C(0), C(1), C(2)}}, -1}},
     {0, 1, 2}, {}, {}, {0, 1, 2}, {-1}},
    {"a group of faces without triangles still names the shape", 2, 0, 0, {{{{}, {C(0)}, {C(0), C(1)}}, 1}},
     {}, {}, {}, {}, {}},
    {"normal and texcoord indices absent, negative, past the end or at the last element", 4, 2, 2,
     {{{{C(0, 1, 1), C(1, -1, -1), C(2, -5, -5), C(3, 2, 2)}}, -1}},
     {0, 1, 2, 3}, {1}, {1}, {0, 1, 2, 0, 2, 3}, {-1, -1}},
    {"components that name nothing still key the weld", 1, 1, 1,
     {{{{C(0), C(0, 0), C(0, -1, 0), C(0, 0, 0), C(0, 5), C(0, 6), C(0, 5)}}, -1}},
     {0, 0, 0, 0, 0, 0}, {0, 0}, {0, 0}, {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 5, 0, 5, 4}, {-1, -1, -1, -1, -1}},
    {"a texcoord on a known position makes a new vertex", 3, 0, 1, {{{{C(0), C(1), C(2)}, {C(0, 0), C(1), C(2)}}, -1}},
     {0, 1, 2, 0}, {}, {0}, {0, 1, 2, 3, 1, 2}, {-1, -1}},
    {"v/vt/vn corners without any vt or vn lines", 3, 0, 0, {{{{C(0, 0, 0), C(1, 1, 1), C(2, 2, 2)}}, -1}},
     {0, 1, 2}, {}, {}, {0, 1, 2}, {-1}},
    {"only some vertices receive a normal; nothing pads the list", 3, 1, 0, {{{{C(0, -1, 0), C(1, -1, 0), C(2)}}, -1}},
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
    ASSERT_TRUE(assembleGroup(shape, group, in, g.faces, g.materialId, failure));
    ASSERT_EQ(failure.error, AssemblyError::None);
  }
  EXPECT_EQ(list(shape.positions), gather(in.positions, c.wantPositions, 3));
  EXPECT_EQ(list(shape.normals), gather(in.normals, c.wantNormals, 3));
  EXPECT_EQ(list(shape.texcoords), gather(in.texcoords, c.wantTexcoords, 2));
  EXPECT_EQ(list(shape.indices), c.wantIndices);
  EXPECT_EQ(list(shape.materialIds), c.wantMaterialIds);
  EXPECT_EQ(shape.name, "s");
}

INSTANTIATE_TEST_SUITE_P(Cases, AssemblyTable, testing::ValuesIn(kCases), ByWhat());

// Many distinct corners in large groups (so the vertex cache grows well past
// its first size) alternating with small ones (so a cache reused after a
// large group must start clean), against a plain map per group that follows
// the welding rule literally.
TEST(ShapeAssembly, LargeGroupsMatchPlainMapWelding) {
  const int kPositions = 300, kOthers = 40;
  Attributes in(kPositions, kOthers, kOthers);
  std::mt19937 random(7);
  auto component = [&] { return int32_t(random() % (kOthers + 6)) - 3; };  // -3 .. kOthers + 2
  ObjShape shape;
  FaceGroup group;
  std::vector<int> wantPositions, wantNormals, wantTexcoords;
  std::vector<uint32_t> wantIndices;
  for (int g = 0; g < 6; ++g) {
    std::map<std::tuple<int32_t, int32_t, int32_t>, uint32_t> cache;
    auto weld = [&](const CornerIndex& c) {
      auto [it, isNew] = cache.emplace(std::make_tuple(c.v_idx, c.vt_idx, c.vn_idx), uint32_t(wantPositions.size()));
      if (isNew) {
        wantPositions.push_back(c.v_idx);
        if (c.vn_idx >= 0 && c.vn_idx < kOthers) wantNormals.push_back(c.vn_idx);
        if (c.vt_idx >= 0 && c.vt_idx < kOthers) wantTexcoords.push_back(c.vt_idx);
      }
      return it->second;
    };
    std::vector<Face> faces(g % 2 ? 3 : 2000);
    for (Face& face : faces) {
      face.resize(3 + random() % 4);
      for (CornerIndex& c : face) c = C(int32_t(random() % kPositions), component(), component());
      for (size_t k = 2; k < face.size(); ++k)
        for (const CornerIndex* c : {&face[0], &face[k - 1], &face[k]}) wantIndices.push_back(weld(*c));
    }
    AssemblyFailure failure;
    ASSERT_TRUE(assembleGroup(shape, group, in, faces, g, failure));
  }
  EXPECT_EQ(list(shape.indices), wantIndices);
  EXPECT_EQ(list(shape.positions), gather(in.positions, wantPositions, 3));
  EXPECT_EQ(list(shape.normals), gather(in.normals, wantNormals, 3));
  EXPECT_EQ(list(shape.texcoords), gather(in.texcoords, wantTexcoords, 2));
}

// A position index that names no vertex at the flush fails it, naming the
// line of the first face that used such a corner (another bad corner
// follows); nothing is read out of bounds.
TEST(ShapeAssembly, BadPositionIndexReportsItsLine) {
  const std::pair<int32_t, int> cases[] = {{3, 3}, {1000000, 3}, {-1, 3}, {INT32_MIN, 3}, {INT32_MAX, 3}, {0, 0}};
  for (const auto& [bad, positions] : cases) {
    Attributes in(positions, 0, 0);
    ObjShape shape;
    FaceGroup group;
    AssemblyFailure failure;
    const int32_t good = positions ? 0 : bad, later = positions + 1;
    assembleGroup(shape, group, in, {{C(good), C(good), C(good)}, {C(good), C(bad), C(good)}, {C(later), C(0), C(0)}},
                  -1, failure, 10);
    EXPECT_EQ(failure.error, AssemblyError::BadVertexIndex) << bad;
    EXPECT_EQ(failure.line, positions ? 11u : 10u) << bad;
    EXPECT_EQ(failure.vertexIndex, bad);
    EXPECT_EQ(failure.vertexCount, uint64_t(positions));
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
