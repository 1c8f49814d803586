// Material libraries: which materials a library yields, which ids their
// names get, and what the statements fill in. Only the ids reach the mesh
// file (through the face groups that material switches close), but a
// wrong registration shows up there as different vertices.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "material_library.h"

namespace {

struct Library {
  std::vector<ObjMaterial> materials;
  MaterialTable table;

  void parse(const std::string& text) { parseMaterialLibrary(text.data(), text.size(), materials, table); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const ObjMaterial& m : materials) out.push_back(m.name);
    return out;
  }
};

struct RegistrationCase {
  const char* what;
  std::vector<std::string> libraries;  // parsed one after another
  std::vector<std::string> names;      // the material list
  MaterialTable table;
};

void PrintTo(const RegistrationCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const RegistrationCase kRegistrations[] = {
    {"two libraries number on; the first registration wins",
     {"newmtl a\nnewmtl b\n", "newmtl b\nnewmtl c\n"},
     {"a", "b", "b", "c"},
     {{"a", 0}, {"b", 1}, {"c", 3}}},
    {"statements before the first newmtl fill a material that is dropped",
     {"Kd 1 0 0\nNs 5\nnewmtl a\n"}, {"a"}, {{"a", 0}}},
    {"a library without newmtl yields one unnamed material", {"Kd 1 0 0\n"}, {""}, {{"", 0}}},
    {"an empty library yields one unnamed material", {""}, {""}, {{"", 0}}},
    {"newmtl with only blanks names nothing and is dropped at the next newmtl",
     {"newmtl \t \nKd 1 1 1\nnewmtl b\n"}, {"b"}, {{"b", 0}}},
    {"the last material is kept whatever its name", {"newmtl a\nnewmtl \n"}, {"a", ""}, {{"a", 0}, {"", 1}}},
    {"the same name twice in one library: both kept, the first id wins",
     {"newmtl a\nnewmtl a\n"}, {"a", "a"}, {{"a", 0}}},
    {"a name is the first word", {"newmtl  first second\n\t newmtl\tx\r\n"}, {"first", "x"}, {{"first", 0}, {"x", 1}}},
    {"newmtl without a blank is not a newmtl", {"newmtl\nnewmtlx a\nnewmtl b\n"}, {"b"}, {{"b", 0}}},
    {"names are case-sensitive", {"newmtl A\nnewmtl a\n"}, {"A", "a"}, {{"A", 0}, {"a", 1}}},
    {"comments and CR LF", {"# newmtl z\r\nnewmtl a\r\n\r\n  # x\r\nnewmtl b"}, {"a", "b"}, {{"a", 0}, {"b", 1}}},
    {"a NUL hides the rest of its line only", {std::string("newmtl a\0b\nnewmtl c\n", 20)}, {"a", "c"}, {{"a", 0}, {"c", 1}}},
    {"a lone CR does not end a line", {"newmtl a\rnewmtl b\n"}, {"a"}, {{"a", 0}}},
};

class Registration : public testing::TestWithParam<RegistrationCase> {};

TEST_P(Registration, NamesAndIds) {
  Library library;
  for (const std::string& text : GetParam().libraries) library.parse(text);
  EXPECT_EQ(library.names(), GetParam().names);
  EXPECT_EQ(library.table, GetParam().table);
}

INSTANTIATE_TEST_SUITE_P(Cases, Registration, testing::ValuesIn(kRegistrations));

using V = std::vector<float>;
V three(const float (&c)[3]) { return V{c[0], c[1], c[2]}; }

// What the statements fill in, one reading rule per row (only the names
// reach the mesh file); statements before the first newmtl go to the
// material that newmtl drops.
TEST(MaterialLibrary, Statements) {
  const std::pair<std::string, std::function<bool(const ObjMaterial&)>> cases[] = {
      {"Kd 1 0.5", [](const ObjMaterial& m) { return three(m.diffuse) == V{1, 0.5f, 0}; }},
      {"Ks\t.5 1e 2x", [](const ObjMaterial& m) { return three(m.specular) == V{0, 0, 2}; }},
      {"d 0.5\nTr 0.25", [](const ObjMaterial& m) { return m.dissolve == 0.75f; }},
      {"Tr 0.25\nd 0.5", [](const ObjMaterial& m) { return m.dissolve == 0.5f; }},
      {"illum -7x", [](const ObjMaterial& m) { return m.illum == -7; }},
      {"map_Kd  my tex.png\r", [](const ObjMaterial& m) { return m.diffuse_texname == " my tex.png"; }},
      {"bump -bm 2 b2", [](const ObjMaterial& m) { return m.bump_texname == "-bm 2 b2"; }},
      {"a\tb c", [](const ObjMaterial& m) { return m.unknown_parameter.at("a\tb") == "c"; }},
      {"# Kd 1 1 1", [](const ObjMaterial& m) { return m.unknown_parameter.empty() && m.diffuse[0] == 0; }},
  };
  for (const auto& [text, check] : cases) {
    Library library;
    library.parse("Kd 9 9 9\nnewmtl m\n" + text + "\n");
    ASSERT_EQ(library.materials.size(), 1u) << text;
    EXPECT_TRUE(check(library.materials[0])) << text;
  }
}

}  // namespace
