// The vertex, normal and texture-coordinate values our reader collects from
// the shared real-world models, compared bit for bit with what tinyobjloader
// collects into its attrib_t. Both accumulate numbers the same way, so any
// difference is a fault in our statement or number reading.
//
// Our reader keeps its attribute lists to itself; they are observed through
// faces appended after the model's own text: "f k k k" for every position k
// makes position k the probe shape's vertex k, "f 1//k ..." and "f 1/k ..."
// do the same for normals and texture coordinates, and a final relative
// index -1 must weld to the last of them, so a count that differs shows too.

#include <tiny_obj_loader.h>

#include <cstring>
#include <sstream>

#include "process_support.h"
#include "test_support.h"

namespace {

// Why the two readers may legitimately read this file differently, or ""
// when they must agree: a lone carriage return ends a line for
// tinyobjloader only, and numbers that start with "." or spell nan or inf
// follow different grammars.
std::string divergentForms(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return "a lone carriage return";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string keyword, field;
    words >> keyword;
    if (keyword != "v" && keyword != "vn" && keyword != "vt") continue;
    while (words >> field) {
      size_t start = field[0] == '+' || field[0] == '-' ? 1 : 0;
      char first = start < field.size() ? char(std::tolower(static_cast<unsigned char>(field[start]))) : ' ';
      if (first == '.' || first == 'n' || first == 'i') return "the number form \"" + field + "\"";
    }
  }
  return "";
}

std::string withoutFaces(const std::string& text) {
  std::string kept;
  for (size_t start = 0, end; start < text.size(); start = end) {
    end = std::min(text.find('\n', start), text.size() - 1) + 1;
    size_t first = text.find_first_not_of(" \t", start);
    if (!(first + 1 < end && text[first] == 'f' && (text[first + 1] == ' ' || text[first + 1] == '\t')))
      kept.append(text, start, end - start);
  }
  return kept;
}

std::string probeFaces(const std::string& name, size_t count, const std::string& before) {
  std::string faces = "\ng " + name + "\n";
  for (size_t k = 1; k <= count + 1; ++k) {
    const std::string corner = before + (k <= count ? std::to_string(k) : "-1");
    faces += "f " + corner + " " + corner + " " + corner + "\n";
  }
  return faces;
}

class AgainstTinyObjLoader : public testing::TestWithParam<fs::path> {};

TEST_P(AgainstTinyObjLoader, SameAttributeValues) {
  const std::string text = readFile(GetParam());
  const std::string divergence = divergentForms(text);
  if (!divergence.empty()) GTEST_SKIP() << "the readers differ on " << divergence;

  // Face lines never change the attribute lists, so tinyobjloader reads the
  // model without them: it refuses whole files over a face index 0.
  tinyobj::attrib_t attrib;
  std::vector<tinyobj::shape_t> theirShapes;
  std::vector<tinyobj::material_t> theirMaterials;
  std::string warn, err;
  std::istringstream stream(withoutFaces(text));
  ASSERT_TRUE(tinyobj::LoadObj(&attrib, &theirShapes, &theirMaterials, &warn, &err, &stream, nullptr, false)) << err;

  struct Probe {
    const char* name;
    const char* corner;
    const std::vector<float>& theirs;
    size_t width;
    PodArray<float> ObjShape::*ours;
  };
  const Probe probes[] = {{"probe.v", "", attrib.vertices, 3, &ObjShape::positions},
                          {"probe.vn", "1//", attrib.normals, 3, &ObjShape::normals},
                          {"probe.vt", "1/", attrib.texcoords, 2, &ObjShape::texcoords}};
  std::string probeText;
  if (!attrib.vertices.empty())
    for (const Probe& p : probes) probeText += probeFaces(p.name, p.theirs.size() / p.width, p.corner);
  std::vector<ObjShape> shapes;
  LoadResult loaded = loadText(text + probeText, shapes);
  // A model we reject for its faces is still read for its values.
  if (loaded.status == LoadStatus::Rejected && loaded.line <= size_t(std::count(text.begin(), text.end(), '\n')) + 1)
    loaded = loadText(withoutFaces(text) + probeText, shapes);
  ASSERT_TRUE(loaded.ok()) << "line " << loaded.line << ": " << loaded.reason;

  for (const Probe& p : probes) {
    const size_t count = p.theirs.size() / p.width;
    if (!count) continue;
    auto shape = std::find_if(shapes.begin(), shapes.end(), [&](const ObjShape& s) { return s.name == p.name; });
    ASSERT_NE(shape, shapes.end()) << p.name;
    // One vertex per element for the faces naming 1..count, and -1 the last.
    EXPECT_EQ(shape->vertexCount(), count) << p.name;
    EXPECT_EQ(shape->indices[shape->indices.size() - 1], uint32_t(count - 1)) << p.name << ": -1 names another";
    const PodArray<float>& ours = (*shape).*p.ours;
    ASSERT_EQ(ours.size(), p.theirs.size()) << p.name << " counts differ";
    for (size_t i = 0; i < p.theirs.size(); ++i)
      if (std::memcmp(&ours[i], &p.theirs[i], sizeof(float)) != 0)
        FAIL() << p.name << " element " << i / p.width + 1 << " differs: " << ours[i] << " vs " << p.theirs[i];
  }
}

INSTANTIATE_TEST_SUITE_P(SharedModels, AgainstTinyObjLoader, testing::ValuesIn(sharedObjFiles()), modelName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(AgainstTinyObjLoader);

}  // namespace
