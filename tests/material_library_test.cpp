// Material libraries: how many materials a library yields and which ids
// their names get. Only the ids reach the mesh file (through the face
// groups that material switches close), but a wrong registration shows up
// there as different vertices.

#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "material_library.h"
#include "process_support.h"
#include "test_support.h"

namespace {

using namespace obj2mesh;

struct RegistrationCase {
  const char* what;
  std::vector<std::string> libraries;  // parsed one after another
  size_t materials;                    // materials in all
  std::unordered_map<std::string, int32_t> ids;  // -1 for names that must not be registered
};

void PrintTo(const RegistrationCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const RegistrationCase kRegistrations[] = {
    {"two libraries number on; the first registration wins",
     {"newmtl a\nnewmtl b\n", "newmtl b\nnewmtl c\n"}, 4, {{"a", 0}, {"b", 1}, {"c", 3}}},
    {"statements before the first newmtl fill a material that is dropped", {"Kd 1 0 0\nNs 5\nnewmtl a\n"}, 1,
     {{"a", 0}, {"", -1}}},
    {"a library without newmtl yields one unnamed material", {"Kd 1 0 0\n"}, 1, {{"", 0}}},
    {"an empty library yields one unnamed material", {""}, 1, {{"", 0}}},
    {"newmtl with only blanks names nothing and is dropped at the next newmtl",
     {"newmtl \t \nKd 1 1 1\nnewmtl b\n"}, 1, {{"b", 0}, {"", -1}}},
    {"the last material is kept whatever its name", {"newmtl a\nnewmtl \n"}, 2, {{"a", 0}, {"", 1}}},
    {"the same name twice in one library: both kept, the first id wins", {"newmtl a\nnewmtl a\n"}, 2, {{"a", 0}}},
    {"a name is the first word", {"newmtl  first second\n\t newmtl\tx\r\n"}, 2,
     {{"first", 0}, {"x", 1}, {"second", -1}, {"x\r", -1}}},
    {"newmtl without a blank is not a newmtl", {"newmtl\nnewmtlx a\nnewmtl b\n"}, 1, {{"b", 0}, {"a", -1}, {"", -1}}},
    {"names are case-sensitive", {"newmtl A\nnewmtl a\n"}, 2, {{"A", 0}, {"a", 1}}},
    {"comments and CR LF", {"# newmtl z\r\nnewmtl a\r\n\r\n  # x\r\nnewmtl b"}, 2,
     {{"a", 0}, {"b", 1}, {"z", -1}}},
    {"a NUL hides the rest of its line only", {std::string("newmtl a\0b\nnewmtl c\n", 20)}, 2,
     {{"a", 0}, {"c", 1}, {"b", -1}}},
    {"a lone CR does not end a line", {"newmtl a\rnewmtl b\n"}, 1, {{"a", 0}, {"b", -1}}},
};

class Registration : public testing::TestWithParam<RegistrationCase> {};

TEST_P(Registration, NamesAndIds) {
  MaterialTable table;
  for (const std::string& text : GetParam().libraries) table.parse(PaddedText(text));
  EXPECT_EQ(table.materialCount(), GetParam().materials);
  for (const auto& [name, id] : GetParam().ids) EXPECT_EQ(table.find(name), id) << name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Registration, testing::ValuesIn(kRegistrations), ByWhat());

// Properties: one material's statements, the later of two winning.
struct PropertyCase {
  const char* what;
  std::string statements;
  std::string expected;  // the set properties, as describe() writes them
};

void PrintTo(const PropertyCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

std::string describe(const ObjMaterial& m) {
  std::ostringstream out;
  const char* colours[] = {"Ka", "Kd", "Ks", "Ke"};
  const float* values[] = {m.ambient, m.diffuse, m.specular, m.emissive};
  for (int i = 0; i < 4; ++i)
    if (m.set & (ObjMaterial::Ambient << i))
      out << colours[i] << ' ' << values[i][0] << ' ' << values[i][1] << ' ' << values[i][2] << ';';
  if (m.set & ObjMaterial::Shininess) out << "Ns " << m.shininess << ';';
  if (m.set & ObjMaterial::Opacity) out << "d " << m.opacity << ';';
  if (m.set & ObjMaterial::Illum) out << "illum " << m.illum << ';';
  for (int t = 0; t < ObjMaterial::kTextures; ++t)
    if (!m.textures[t].empty()) out << "map" << t << " [" << m.textures[t] << "];";
  return out.str();
}

const PropertyCase kProperties[] = {
    {"one value is grey, two leave blue at 0", "Ka 0.5\nKd 1 2\n", "Ka 0.5 0.5 0.5;Kd 1 2 0;"},
    {"the later of d and Tr wins", "d 0.5\nTr 0.25\nKs 1 1 1\nNs 5\nNs 7\n", "Ks 1 1 1;Ns 7;d 0.75;"},
    {"d after Tr", "Tr 0.25\nd 0.5\nillum 2\n", "d 0.5;illum 2;"},
    {"illum beyond 32 bits is clamped", "illum 99999999999\n", "illum 2147483647;"},
    {"texture options are skipped, inner blanks kept", "map_Kd -s 2 2 1 textures/red brick.png \r\n",
     "map1 [textures/red brick.png];"},
    {"one number, two words, one word", "map_Ka -o 1 a.png\nmap_Ks -mm 0 1 -clamp on s.png\nmap_Ke -imfchan r e.png\n",
     "map0 [a.png];map2 [s.png];map3 [e.png];"},
    {"three numbers at most", "map_d -t 1 2 3 4.png\n", "map4 [4.png];"},
    {"every normal map keyword, the later wins", "map_Bump -bm 0.5 a.png\nmap_bump b.png\nbump c.png\n", "map5 [c.png];"},
    {"norm", "norm\t n.png\t\n", "map5 [n.png];"},
    {"an unknown option starts the name", "map_Kd -foo x.png\n", "map1 [-foo x.png];"},
    {"a map without a name sets nothing", "map_Kd   \nmap_Ks -s 1\nKa \n", "Ka 0 0 0;"},
    {"keywords need a blank", "Kd1 1 1\nmap_Kdx a\nbumpy b\n", ""},
};

class Properties : public testing::TestWithParam<PropertyCase> {};

TEST_P(Properties, AreRead) {
  MaterialTable table;
  table.parse(PaddedText("newmtl m\n" + GetParam().statements));
  ASSERT_EQ(table.materials().size(), 1u);
  EXPECT_EQ(describe(table.materials()[0]), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Properties, testing::ValuesIn(kProperties), ByWhat());

// Libraries through a lookup: a name is read once, the same bytes under
// another name are not parsed again, and a library that cannot be read
// counts as an empty one (one unnamed material).
TEST(MaterialLibrary, ReadThroughALookup) {
  MaterialTable table;
  int lookups = 0;
  MaterialLookup lookup = [&](const std::string& name, std::string& contents) {
    ++lookups;
    if (name == "missing.mtl") return false;
    contents = name == "b.mtl" ? "newmtl b\n" : "newmtl a\n";
    return true;
  };
  for (const char* name : {"a.mtl", "a.mtl", "./a.mtl", "missing.mtl", "b.mtl", "missing.mtl"})
    table.readLibrary(name, lookup);
  EXPECT_EQ(lookups, 4);
  EXPECT_EQ(table.materialCount(), 3u);
  EXPECT_EQ(table.find("a"), 0);
  EXPECT_EQ(table.find(""), 1);
  EXPECT_EQ(table.find("b"), 2);
  EXPECT_EQ(table.find("c"), -1);
}

// materialsFrom opens library names beside the OBJ file, whatever the
// working directory: the faces under two materials make two face groups
// (4 vertices) only when the library was found; an empty lookup opens them
// from the working directory, where there is none.
TEST(MaterialLookups, FromTheObjFilesFolder) {
  TempDir dir;
  const std::string obj = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl a\nf 1 2 3\nusemtl b\nf 1 2 3\n";
  writeFile(dir.path() / "model.obj", obj);
  writeFile(dir.path() / "m.mtl", "newmtl a\nnewmtl b\n");
  const std::string path = (dir.path() / "model.obj").string();
  auto vertices = [](const ConvertResult& result) {
    const obj2mesh::Model* model = result.ok() ? verifiedModel(result.data(), result.size()) : nullptr;
    return model ? model->meshes()->Get(0)->positions()->size() : 0u;
  };
  LoadOptions beside;
  beside.materials = materialsFrom(dir.path().string());
  EXPECT_EQ(vertices(convertObjFile(path, {}, beside)), 6u);
  EXPECT_EQ(vertices(convertObjFile(path)), 3u);
  EXPECT_EQ(vertices(convertObjBuffer(obj.data(), obj.size(), "model.obj", {}, {}, beside)), 6u);
}

}  // namespace
