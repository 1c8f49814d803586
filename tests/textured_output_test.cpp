// Textured output: texture coordinates and normals one per vertex, parts
// with their shapes and materials, in both modes; and readers generated
// from the first mesh format still reading such files.

#include <array>
#include <tuple>

#include <first_mesh_format_generated.h>

#include "test_support.h"

namespace {

// Some corners with a texture coordinate, some with a normal, two
// materials, two groups.
const char* const kObj =
    "mtllib m.mtl\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
    "vt 0.25 0.5\nvt 0.75 1 9\nvn 0 0 1\n"
    "g first\nusemtl red\nf 1/1/1 2/2 3\nf 1/1/1 3 4//1\n"
    "usemtl blue\nf 1 2 3\n"
    "g second\nf 2/2/1 3/1 4 \n";
const char* const kMtl =
    "newmtl red\nKd 1 0 0\nKa 0.5\nNs 10\nd 0.5\nTr 0.25\nillum 2\n"
    "map_Kd -s 2 2 1 textures/red brick.png \nbump -bm 0.5 normal.png\n"
    "newmtl blue\nKs 0.1 0.2 0.3\nmap_d\t alpha.png\r\n";

using UV = std::array<float, 2>;
using XYZ = std::array<float, 3>;
using PartRow = std::tuple<uint32_t, uint32_t, int32_t, uint32_t>;  // first index, count, material, shape
const UV t0{0.25f, 0.5f}, t1{0.75f, 1}, noUV{0, 0};
const XYZ n{0, 0, 1}, noNormal{0, 0, 0};

struct ExpectedMesh {
  std::vector<UV> texcoords;
  std::vector<XYZ> normals;
  std::vector<PartRow> parts;
};

struct TexturedCase {
  const char* what;
  bool combine;
  std::vector<ExpectedMesh> meshes;
};

void PrintTo(const TexturedCase& c, std::ostream* out) { *out << c.what; }

const TexturedCase kCases[] = {
    {"combined",
     true,
     {{{t0, t1, noUV, noUV, noUV, noUV, noUV, t1, t0, noUV},
       {n, noNormal, noNormal, n, noNormal, noNormal, noNormal, n, noNormal, noNormal},
       {{0, 6, 0, 0}, {6, 3, 1, 0}, {9, 3, 1, 1}}}}},
    {"separate",
     false,
     {{{t0, t1, noUV, noUV, noUV, noUV, noUV},
       {n, noNormal, noNormal, n, noNormal, noNormal, noNormal},
       {{0, 6, 0, 0}, {6, 3, 1, 0}}},
      {{t1, t0, noUV}, {n, noNormal, noNormal}, {{0, 3, 1, 1}}}}},
};

class Textured : public testing::TestWithParam<TexturedCase> {};

TEST_P(Textured, ValuesPartsShapesAndMaterials) {
  Options options;
  options.combineMeshes = GetParam().combine;
  options.texcoords = options.alignNormals = options.parts = true;
  const std::string obj = kObj;
  ConvertResult result = convertObjBuffer(obj.data(), obj.size(), "t.obj", libraryLookup({{"m.mtl", kMtl}}), options);
  ASSERT_TRUE(result.ok()) << result.failure().reason;
  const Model* model = verifiedModel(result.data(), result.size());
  ASSERT_TRUE(model);
  ASSERT_EQ(model->meshes()->size(), GetParam().meshes.size());
  for (size_t m = 0; m < GetParam().meshes.size(); ++m) {
    const Mesh* mesh = model->meshes()->Get(flatbuffers::uoffset_t(m));
    const ExpectedMesh& want = GetParam().meshes[m];
    std::vector<UV> texcoords;
    for (const Vec2* t : *mesh->texcoords()) texcoords.push_back({t->x(), t->y()});
    std::vector<XYZ> normals;
    for (const Vec3* v : *mesh->normals()) normals.push_back({v->x(), v->y(), v->z()});
    std::vector<PartRow> parts;
    for (const Part* p : *mesh->parts()) parts.emplace_back(p->firstIndex(), p->indexCount(), p->material(), p->shape());
    EXPECT_EQ(texcoords, want.texcoords) << m;
    EXPECT_EQ(normals, want.normals) << m;
    EXPECT_EQ(parts, want.parts) << m;
  }
  ASSERT_EQ(model->shapes()->size(), 2u);
  EXPECT_EQ(model->shapes()->Get(0)->str(), "first");
  EXPECT_EQ(model->shapes()->Get(1)->str(), "second");

  ASSERT_EQ(model->materials()->size(), 2u);
  const Material* red = model->materials()->Get(0);
  const Material* blue = model->materials()->Get(1);
  EXPECT_EQ(red->name()->str(), "red");
  EXPECT_EQ(red->ambient()->y(), 0.5f);
  EXPECT_EQ(red->diffuse()->x(), 1.0f);
  EXPECT_EQ(red->shininess(), 10.0f);
  EXPECT_EQ(red->opacity(), 0.75f);  // the later of d and Tr
  EXPECT_EQ(red->illum(), 2);
  EXPECT_EQ(red->diffuseTexture()->str(), "textures/red brick.png");
  EXPECT_EQ(red->normalTexture()->str(), "normal.png");
  EXPECT_FALSE(red->specular() || red->emissive() || red->ambientTexture() || red->opacityTexture());
  EXPECT_EQ(blue->specular()->z(), 0.3f);
  EXPECT_EQ(blue->opacityTexture()->str(), "alpha.png");
  // Unset scalars are absent, so the schema's defaults show.
  EXPECT_FALSE(blue->diffuse() || blue->diffuseTexture());
  EXPECT_EQ(blue->opacity(), 1.0f);
  const auto* table = reinterpret_cast<const flatbuffers::Table*>(blue);
  EXPECT_FALSE(table->CheckField(Material::VT_SHININESS) || table->CheckField(Material::VT_ILLUM));

  // A reader generated from the first format reads the same meshes.
  flatbuffers::Verifier verifier(result.data(), result.size());
  ASSERT_TRUE(first::VerifyModelBuffer(verifier));
  const first::Model* old = first::GetModel(result.data());
  ASSERT_EQ(old->meshes()->size(), model->meshes()->size());
  EXPECT_EQ(old->meshes()->Get(0)->indices()->size(), model->meshes()->Get(0)->indices()->size());
}

INSTANTIATE_TEST_SUITE_P(Modes, Textured, testing::ValuesIn(kCases), ByWhat());

// The two steps: texture coordinates need a load that kept them.
TEST(Textured, TexcoordsNeedALoadThatKeptThem) {
  const std::string obj = "v 0 0 0\nvt 1 2\nf 1/1 1/1 1/1\n";
  Options options;
  options.texcoords = true;
  for (bool kept : {false, true}) {
    LoadOptions load;
    load.texcoords = kept;
    ConvertResult result =
        convertLoadedObj(loadObjBuffer(obj.data(), obj.size(), "t.obj", libraryLookup({}), load), options);
    ASSERT_EQ(result.ok(), kept) << result.failure().reason;
    if (kept) {
      EXPECT_EQ(GetModel(result.data())->meshes()->Get(0)->texcoords()->Get(0)->y(), 2.0f);
    }
  }
}

}  // namespace
