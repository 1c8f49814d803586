// The vertex and normal values our reader collects from the shared
// real-world models, compared bit for bit with what tinyobjloader collects
// into its attrib_t. Both accumulate numbers the same way, so any
// difference is a fault in our statement or number reading.
//
// Our reader keeps its attribute lists to itself; they are observed through
// faces appended after the model's own text: "f k k k" for every position k
// makes position k the probe shape's vertex k, "f 1//k ..." does the same
// for normals, and a final relative index -1 must weld to the last of them,
// so a count that differs shows too. Texture coordinates are counted (for
// relative indices) but their values are never kept.

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

class AgainstTinyObjLoader : public SharedModel {};

TEST_P(AgainstTinyObjLoader, SameAttributeValues) {
  const std::string text = readFile(model());
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
    PodArray<float> ObjShapes::*ours;
    ObjShapes::Range (ObjShapes::*range)(size_t) const;
  };
  const Probe probes[] = {{"probe.v", "", attrib.vertices, &ObjShapes::positions, &ObjShapes::vertices},
                          {"probe.vn", "1//", attrib.normals, &ObjShapes::normals, &ObjShapes::normalRange}};
  std::string probeText;
  if (!attrib.vertices.empty())
    for (const Probe& p : probes) probeText += probeFaces(p.name, p.theirs.size() / 3, p.corner);
  Loaded loaded = loadText(text + probeText);
  // A model we reject for its faces is still read for its values.
  if (!loaded.ok && loaded.failure.line <= size_t(std::count(text.begin(), text.end(), '\n')) + 1)
    loaded = loadText(withoutFaces(text) + probeText);
  ASSERT_TRUE(loaded.ok) << "line " << loaded.failure.line << ": " << loaded.failure.reason;
  const ObjShapes& shapes = loaded.shapes;

  for (const Probe& p : probes) {
    const size_t count = p.theirs.size() / 3;
    if (!count) continue;
    size_t s = 0;
    while (s < shapes.count() && shapes.name(s) != p.name) ++s;
    ASSERT_LT(s, shapes.count()) << p.name;
    // One vertex per element for the faces naming 1..count, and -1 the last.
    EXPECT_EQ(shapes.vertices(s).size(), count) << p.name;
    EXPECT_EQ(shapes.indices[shapes.indexRange(s).end - 1], uint32_t(count - 1)) << p.name << ": -1 names another";
    const ObjShapes::Range range = (shapes.*p.range)(s);
    ASSERT_EQ(range.size() * 3, p.theirs.size()) << p.name << " counts differ";
    const float* ours = (shapes.*p.ours).data() + 3 * range.begin;
    for (size_t i = 0; i < p.theirs.size(); ++i)
      if (std::memcmp(&ours[i], &p.theirs[i], sizeof(float)) != 0)
        FAIL() << p.name << " element " << i / 3 + 1 << " differs: " << ours[i] << " vs " << p.theirs[i];
  }
}

INSTANTIATE_TEST_SUITE_P(SharedModels, AgainstTinyObjLoader, testing::ValuesIn(kSharedModelFolders), modelName);

}  // namespace
