// The vertex, normal and texture-coordinate values our reader collects from
// the shared real-world models, compared bit for bit with what tinyobjloader
// collects into its attrib_t. Both accumulate numbers the same way, so any
// difference is a fault in our statement or number reading.
//
// Our reader keeps its attribute lists to itself; they are observed through
// faces appended after the model's own text: "f k k k" for every position k
// makes position k the shape's vertex k, "f 1//k ..." and "f 1/k ..." do the
// same for normals and texture coordinates, and a final relative index -1
// must weld to the last of them, so a count that differs shows up too.

#include <tiny_obj_loader.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kModels = fs::path(OBJ2MESH_SHARED_DIR) / "models";

std::vector<fs::path> sharedObjFiles() {
  std::vector<fs::path> files;
  std::error_code error;
  for (const fs::directory_entry& folder : fs::directory_iterator(kModels, error))
    if (folder.is_directory())
      for (const fs::directory_entry& file : fs::directory_iterator(folder.path()))
        if (file.path().extension() == ".obj") files.push_back(file.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Why the two readers may legitimately read this file differently, or ""
// when they must agree: a lone carriage return ends a line for
// tinyobjloader only, and numbers that start with "." or spell nan or inf
// follow different grammars.
std::string divergentForms(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return "a lone carriage return";
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
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
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    size_t first = text.find_first_not_of(" \t", start);
    bool face = first + 1 < end && text[first] == 'f' && (text[first + 1] == ' ' || text[first + 1] == '\t');
    if (!face) kept.append(text, start, end - start);
    start = end;
  }
  return kept;
}

std::string probeFaces(const char* name, size_t count, const std::string& before, const std::string& after) {
  std::string faces = "\ng " + std::string(name) + "\n";
  for (size_t k = 1; k <= count; ++k) {
    std::string corner = before + std::to_string(k) + after;
    faces += "f " + corner + " " + corner + " " + corner + "\n";
  }
  std::string last = before + "-1" + after;
  if (count) faces += "f " + last + " " + last + " " + last + "\n";
  return faces;
}

const ObjShape* shapeNamed(const std::vector<ObjShape>& shapes, const std::string& name) {
  for (const ObjShape& shape : shapes)
    if (shape.name == name) return &shape;
  return nullptr;
}

// Compares float lists bit for bit and names the first differing element.
void expectSameBits(const PodArray<float>& ours, const std::vector<float>& theirs, size_t width, const char* what) {
  ASSERT_EQ(ours.size(), theirs.size()) << what << " counts differ";
  for (size_t i = 0; i < theirs.size(); ++i) {
    if (std::memcmp(&ours[i], &theirs[i], sizeof(float)) != 0) {
      ADD_FAILURE() << what << " " << i / width + 1 << " differs: " << ours[i] << " vs " << theirs[i];
      return;
    }
  }
}

// After the probe faces, the probe shape must have exactly one vertex per
// element, and the relative index -1 must have named the last one.
void expectCountAgrees(const ObjShape& probe, size_t count, const char* what) {
  EXPECT_EQ(probe.vertexCount(), count) << what;
  ASSERT_GE(probe.indices.size(), 3u);
  EXPECT_EQ(probe.indices[probe.indices.size() - 1], uint32_t(count - 1)) << what << ": -1 named another element";
}

class AgainstTinyObjLoader : public testing::TestWithParam<fs::path> {};

TEST_P(AgainstTinyObjLoader, SameAttributeValues) {
  const std::string text = readBytes(GetParam());
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

  const size_t positions = attrib.vertices.size() / 3;
  const size_t normals = attrib.normals.size() / 3;
  const size_t texcoords = attrib.texcoords.size() / 2;
  std::string probes = probeFaces("probe.v", positions, "", "");
  if (positions) {
    probes += probeFaces("probe.vn", normals, "1//", "");
    probes += probeFaces("probe.vt", texcoords, "1/", "");
  }
  std::vector<ObjShape> shapes;
  LoadResult loaded = loadText(text + probes, shapes);
  // A model we reject for its faces is still read for its values.
  if (loaded.status == LoadStatus::Rejected && loaded.line <= size_t(std::count(text.begin(), text.end(), '\n')) + 1)
    loaded = loadText(withoutFaces(text) + probes, shapes);
  ASSERT_TRUE(loaded.ok()) << "line " << loaded.line << ": " << loaded.reason;

  if (positions) {
    const ObjShape* v = shapeNamed(shapes, "probe.v");
    ASSERT_NE(v, nullptr);
    expectCountAgrees(*v, positions, "positions");
    PodArray<float> first = v->positions;
    first.count = std::min(first.count, 3 * positions);  // without a vertex -1 added on a count mismatch
    expectSameBits(first, attrib.vertices, 3, "position");
  }
  if (normals) {
    const ObjShape* vn = shapeNamed(shapes, "probe.vn");
    ASSERT_NE(vn, nullptr);
    expectCountAgrees(*vn, normals, "normals");
    expectSameBits(vn->normals, attrib.normals, 3, "normal");
  }
  if (texcoords) {
    const ObjShape* vt = shapeNamed(shapes, "probe.vt");
    ASSERT_NE(vt, nullptr);
    expectCountAgrees(*vt, texcoords, "texture coordinates");
    expectSameBits(vt->texcoords, attrib.texcoords, 2, "texture coordinate");
  }
}

INSTANTIATE_TEST_SUITE_P(SharedModels, AgainstTinyObjLoader, testing::ValuesIn(sharedObjFiles()),
                         [](const testing::TestParamInfo<fs::path>& info) {
                           std::string name = info.param.parent_path().filename().string();
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(AgainstTinyObjLoader);

TEST(AgainstTinyObjLoader, ModelsPresent) {
  if (!fs::is_directory(kModels)) GTEST_SKIP() << kModels << " not found";
  EXPECT_FALSE(sharedObjFiles().empty());
}

}  // namespace
