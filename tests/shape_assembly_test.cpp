// Shape assembly: fan triangulation, welding within one face group, and the
// attribute copies each new vertex takes from the file-wide lists.

#include <climits>
#include <map>
#include <random>
#include <tuple>

#include "shape_assembly.h"
#include "test_support.h"

namespace {

using Face = std::vector<CornerIndex>;

CornerIndex C(int32_t v, int32_t vt = -1, int32_t vn = -1) { return {v, vt, vn}; }

// File-wide attribute lists whose values tell their source element apart:
// position k is (k, k + 0.25, k + 0.5), normal k is (-k, -k - 0.25, -k - 0.5).
struct SourceLists {
  PodArray<float> positions, normals;
  SourceLists(int p, int n) {
    for (float k = 0; k < p; ++k)
      for (float v : {k, k + 0.25f, k + 0.5f}) positions.push_back(v);
    for (float k = 0; k < n; ++k)
      for (float v : {-k, -k - 0.25f, -k - 0.5f}) normals.push_back(v);
  }
};

template <class T>
std::vector<T> list(const PodArray<T>& a) {
  return std::vector<T>(a.begin(), a.end());
}

// The values a shape should hold when its vertices came from these source
// elements, in this order.
std::vector<float> gather(const PodArray<float>& source, const std::vector<int>& which) {
  std::vector<float> out;
  for (int k : which) out.insert(out.end(), source.begin() + k * 3, source.begin() + (k + 1) * 3);
  return out;
}

// Adds faces [begin, end) in one batch, face f on line lineBase + f.
bool addBatch(ShapeAssembler& assembler, const std::vector<Face>& faces, size_t begin, size_t end,
              size_t positionCount, uint64_t lineBase, Failure& failure) {
  std::vector<CornerIndex> corners;
  std::vector<FaceEntry> entries;
  for (size_t f = begin; f < end; ++f) {
    corners.insert(corners.end(), faces[f].begin(), faces[f].end());
    entries.push_back({corners.size(), f});
  }
  return assembler.addFaces(corners.data(), 0, entries.data(), entries.size(), positionCount, lineBase, failure);
}

// Adds the faces of one group (on lines firstLine, firstLine + 1, ...) in
// one batch and flushes it.
bool assembleGroup(ShapeAssembler& assembler, const SourceLists& in, const std::vector<Face>& faces,
                   Failure& failure, uint64_t firstLine = 1) {
  return addBatch(assembler, faces, 0, faces.size(), in.positions.size() / 3, firstLine, failure) &&
         assembler.flushFaceGroup(Attributes::of(in.positions, in.normals, {}), -1, failure);
}

struct AssemblyCase {
  const char* what;
  int positions, normals;          // sizes of the file-wide lists
  std::vector<std::vector<Face>> groups;  // flushed one after another into one shape
  std::vector<int> wantPositions, wantNormals;  // source elements, in vertex order
  std::vector<uint32_t> wantIndices;
};

void PrintTo(const AssemblyCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const AssemblyCase kCases[] = {
    {"two faces share vertices within a group", 4, 0, {{{C(0), C(1), C(2)}, {C(0), C(2), C(3)}}},
     {0, 1, 2, 3}, {}, {0, 1, 2, 0, 2, 3}},
    {"a material switch starts new vertices, numbers continue", 4, 0,
     {{{C(0), C(1), C(2)}}, {{C(0), C(2), C(3)}}}, {0, 1, 2, 0, 2, 3}, {}, {0, 1, 2, 3, 4, 5}},
    {"pentagon fans from its first corner", 5, 0, {{{C(0), C(1), C(2), C(3), C(4)}}},
     {0, 1, 2, 3, 4}, {}, {0, 1, 2, 0, 2, 3, 0, 3, 4}},
    {"vertices are numbered by first visit, not by index", 6, 0, {{{C(4), C(2), C(0), C(5)}, {C(5), C(2), C(1)}}},
     {4, 2, 0, 5, 1}, {}, {0, 1, 2, 0, 2, 3, 3, 1, 4}},
    {"a corner repeated within a face is one vertex", 2, 0, {{{C(0), C(0), C(1)}}}, {0, 1}, {}, {0, 0, 1}},
    {"faces of fewer than three corners add nothing", 4, 0, {{{C(3)}, {C(3), C(2)}, {}, {C(0), C(1), C(2)}}},
     {0, 1, 2}, {}, {0, 1, 2}},
    {"a group of faces without triangles still makes a shape", 2, 0, {{{}, {C(0)}, {C(0), C(1)}}}, {}, {}, {}},
    {"normal indices absent, negative, past the end or at the last element", 4, 2,
     {{{C(0, 1, 1), C(1, -1, -1), C(2, -5, -5), C(3, 2, 2)}}}, {0, 1, 2, 3}, {1}, {0, 1, 2, 0, 2, 3}},
    {"components that name nothing still key the weld", 1, 1,
     {{{C(0), C(0, 0), C(0, -1, 0), C(0, 0, 0), C(0, 5), C(0, 6), C(0, 5)}}},
     {0, 0, 0, 0, 0, 0}, {0, 0}, {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 5, 0, 5, 4}},
    {"a texcoord on a known position makes a new vertex", 3, 0, {{{C(0), C(1), C(2)}, {C(0, 0), C(1), C(2)}}},
     {0, 1, 2, 0}, {}, {0, 1, 2, 3, 1, 2}},
    {"only some vertices receive a normal; nothing pads the list", 3, 1, {{{C(0, -1, 0), C(1, -1, 0), C(2)}}},
     {0, 1, 2}, {0, 0}, {0, 1, 2}},
    {"vertices from a later group append after earlier ones", 3, 0,
     {{{C(2), C(1), C(0)}}, {{C(0), C(1), C(2)}, {C(2), C(1), C(0)}}},
     {2, 1, 0, 0, 1, 2}, {}, {0, 1, 2, 3, 4, 5, 5, 4, 3}},
};

class AssemblyTable : public testing::TestWithParam<AssemblyCase> {};

TEST_P(AssemblyTable, ShapeLists) {
  const AssemblyCase& c = GetParam();
  SourceLists in(c.positions, c.normals);
  ShapeAssembler assembler;
  Failure failure;
  for (const std::vector<Face>& faces : c.groups) ASSERT_TRUE(assembleGroup(assembler, in, faces, failure));
  ASSERT_TRUE(assembler.endShape("s", Attributes::of(in.positions, in.normals, {}), -1, failure));
  const ObjShapes& shapes = assembler.shapes();
  ASSERT_EQ(shapes.count(), 1u);
  EXPECT_EQ(list(shapes.positions), gather(in.positions, c.wantPositions));
  EXPECT_EQ(list(shapes.normals), gather(in.normals, c.wantNormals));
  EXPECT_EQ(list(shapes.indices), c.wantIndices);
  EXPECT_EQ(shapes.name(0), "s");
}

INSTANTIATE_TEST_SUITE_P(Cases, AssemblyTable, testing::ValuesIn(kCases), ByWhat());

// Many distinct corners in large groups (so the vertex cache grows well past
// its first size) alternating with small ones (so a cache reused after a
// large group must start clean), against a plain map per group that follows
// the welding rule literally.
TEST(ShapeAssembly, LargeGroupsMatchPlainMapWelding) {
  const int kPositions = 300, kOthers = 40;
  SourceLists in(kPositions, kOthers);
  std::mt19937 random(7);
  auto component = [&] { return int32_t(random() % (kOthers + 6)) - 3; };  // -3 .. kOthers + 2
  ShapeAssembler assembler;
  std::vector<int> wantPositions, wantNormals;
  std::vector<uint32_t> wantIndices;
  size_t shapeStart = 0;  // where the open shape's vertices start in wantPositions
  for (int g = 0; g < 8; ++g) {
    std::map<std::tuple<int32_t, int32_t, int32_t>, uint32_t> cache;
    auto weld = [&](const CornerIndex& c) {
      auto [it, isNew] =
          cache.emplace(std::make_tuple(c.v_idx, c.vt_idx, c.vn_idx), uint32_t(wantPositions.size() - shapeStart));
      if (isNew) {
        wantPositions.push_back(c.v_idx);
        if (c.vn_idx >= 0 && c.vn_idx < kOthers) wantNormals.push_back(c.vn_idx);
      }
      return it->second;
    };
    // Mostly triangles, in runs of any length, among larger and degenerate
    // faces, added in batches of any size.
    std::vector<Face> faces(g % 2 ? 3 : 2000);
    for (Face& face : faces) {
      face.resize(std::vector<size_t>{0, 1, 2, 3, 3, 3, 3, 3, 3, 3, 4, 5, 6}[random() % 13]);
      for (CornerIndex& c : face) c = C(int32_t(random() % kPositions), component(), component());
      for (size_t k = 2; k < face.size(); ++k)
        for (const CornerIndex* c : {&face[0], &face[k - 1], &face[k]}) wantIndices.push_back(weld(*c));
    }
    Failure failure;
    for (size_t f = 0, end; f < faces.size(); f = end) {
      end = std::min(faces.size(), f + 1 + random() % 40);
      ASSERT_TRUE(addBatch(assembler, faces, f, end, kPositions, 1, failure));
    }
    ASSERT_TRUE(assembler.flushFaceGroup(Attributes::of(in.positions, in.normals, {}), -1, failure));
    // Two groups make a shape; a new shape numbers its vertices from 0.
    if (g % 2) {
      ASSERT_TRUE(assembler.endShape("s", Attributes::of(in.positions, in.normals, {}), -1, failure));
      shapeStart = wantPositions.size();
    }
  }
  const ObjShapes& shapes = assembler.shapes();
  EXPECT_EQ(shapes.count(), 4u);
  EXPECT_EQ(list(shapes.indices), wantIndices);
  EXPECT_EQ(list(shapes.positions), gather(in.positions, wantPositions));
  EXPECT_EQ(list(shapes.normals), gather(in.normals, wantNormals));
}

// A position index that names no vertex at the flush fails it, naming the
// line of the first face that used such a corner (another bad corner
// follows); nothing is read out of bounds.
TEST(ShapeAssembly, BadPositionIndexReportsItsLine) {
  const std::tuple<int32_t, int, const char*> cases[] = {
      {3, 3, "face corner names vertex 4, but only 3 are defined"},
      {1000000, 3, "face corner names vertex 1000001, but only 3 are defined"},
      {-1, 3, "face corner names a vertex before the first one (relative index too far back)"},
      {INT32_MIN, 3, "face corner names a vertex before the first one (relative index too far back)"},
      {INT32_MAX, 3, "face corner names vertex 2147483648, but only 3 are defined"},
      {0, 0, "face corner names vertex 1, but only 0 are defined"},
      {1, 1, "face corner names vertex 2, but only 1 is defined"}};
  for (const auto& [bad, positions, reason] : cases) {
    SourceLists in(positions, 0);
    ShapeAssembler assembler;
    Failure failure;
    const int32_t good = positions ? 0 : bad, later = positions + 1;
    EXPECT_FALSE(assembleGroup(assembler, in,
                               {{C(good), C(good), C(good)}, {C(bad), C(good), C(good)}, {C(later), C(0), C(0)}},
                               failure, 10));
    EXPECT_EQ(failure.line, positions ? 11u : 10u) << bad;
    EXPECT_EQ(failure.reason, reason);
  }
}

// A corner first met before its position is read is welded with its later
// visits, when the position has been read.
TEST(ShapeAssembly, CornerMetBeforeItsPositionWeldsWithLaterVisits) {
  SourceLists in(6, 0);
  ShapeAssembler assembler;
  Failure failure;
  const Face early{C(5), C(4), C(1)}, later{C(2), C(5), C(4, 0)};
  ASSERT_TRUE(assembler.addFace(early.data(), early.size(), 3, 1, failure));
  ASSERT_TRUE(assembler.addFace(later.data(), later.size(), 6, 2, failure));
  ASSERT_TRUE(assembler.endShape("s", Attributes::of(in.positions, in.normals, {}), -1, failure));
  EXPECT_EQ(list(assembler.shapes().indices), (std::vector<uint32_t>{0, 1, 2, 3, 0, 4}));
  EXPECT_EQ(list(assembler.shapes().positions), gather(in.positions, {5, 4, 1, 2, 4}));
}

// Vertex numbers are 32-bit: the vertex past the last number is refused
// instead of wrapping around to 0. The limit holds per shape.
TEST(ShapeAssembly, RefusesVertexNumbersPastTheLimit) {
  SourceLists in(8, 0);
  ShapeAssembler assembler(5);
  Failure failure;
  Face five{C(0), C(1), C(2), C(3), C(4)};
  ASSERT_TRUE(assembleGroup(assembler, in, {five}, failure));
  ASSERT_TRUE(assembler.endShape("a", Attributes::of(in.positions, in.normals, {}), -1, failure));
  ASSERT_TRUE(assembleGroup(assembler, in, {five}, failure));
  Face sixth{C(0), C(4), C(5)};
  EXPECT_FALSE(assembler.addFace(sixth.data(), sixth.size(), 8, 42, failure));
  EXPECT_EQ(failure.line, 42u);
  EXPECT_EQ(failure.reason, "a shape has more vertices than 32-bit vertex numbers can count");
}

}  // namespace
