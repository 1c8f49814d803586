#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "obj2mesh/converter.h"
#include "padded_text.h"

namespace obj2mesh {

// One material of a library: the properties its statements set. `set`
// tells which were set; the others hold their zero values.
struct ObjMaterial {
  enum Property : uint16_t {
    Ambient = 1 << 0,
    Diffuse = 1 << 1,
    Specular = 1 << 2,
    Emissive = 1 << 3,
    Shininess = 1 << 4,
    Opacity = 1 << 5,
    Illum = 1 << 6,
  };
  enum Texture { AmbientMap, DiffuseMap, SpecularMap, EmissiveMap, OpacityMap, NormalMap, kTextures };

  std::string name;
  uint16_t set = 0;
  float ambient[3] = {}, diffuse[3] = {}, specular[3] = {}, emissive[3] = {};
  float shininess = 0, opacity = 1;
  int32_t illum = 0;
  std::string textures[kTextures];  // empty: not set
};

// Reads the statements of one material line (after its leading blanks)
// into `material`; lines that set no property are ignored.
void readMaterialStatement(const char* p, const char* end, ObjMaterial& material);

// The materials of one load. Material switches reach the shapes through
// the face groups they close, by id: an id is a material's position among
// all materials of all libraries, in reading order, and the first
// registration of a name wins.
class MaterialTable {
 public:
  // Reads the library an "mtllib" line names, through `lookup`. A library
  // that cannot be read reads as empty.
  //
  // Reading a library again could not register a name (its first reading
  // registered every name in it); it would only add materials that no
  // "usemtl" can reach, and a small file naming one large library on many
  // lines would take time in the product of the two sizes. So a name is
  // read once per load, and bytes already read under another name (say
  // "./a.mtl" after "a.mtl") are not parsed again. Only the ids of later
  // libraries' materials come out lower, which no file shows.
  void readLibrary(const std::string& name, const MaterialLookup& lookup);

  // Registers the materials of one library's text. Even an empty library
  // yields one material, with the empty name.
  void parse(const PaddedText& text);

  // The id of a name; -1 when no library defined it.
  int32_t find(const std::string& name) const {
    auto it = ids_.find(name);
    return it == ids_.end() ? -1 : it->second;
  }
  size_t materialCount() const { return materials_.size(); }
  // Every material, in id order.
  std::vector<ObjMaterial>& materials() { return materials_; }

 private:
  void add(ObjMaterial&& material);

  std::unordered_map<std::string, int32_t> ids_;
  std::vector<ObjMaterial> materials_;
  std::unordered_set<std::string> namesRead_;
  std::unordered_set<std::string> contents_;  // the distinct libraries read
};

}  // namespace obj2mesh
