#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "obj2mesh/converter.h"
#include "padded_text.h"

namespace obj2mesh {

// The materials of one load. Only their ids reach the shapes, through the
// face groups that a material switch closes, so only the names and ids are
// kept: an id is a material's position among all materials of all
// libraries, in reading order, and the first registration of a name wins.
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
  size_t materialCount() const { return count_; }

 private:
  void add(std::string name);

  std::unordered_map<std::string, int32_t> ids_;
  size_t count_ = 0;
  std::unordered_set<std::string> namesRead_;
  std::unordered_set<std::string> contents_;  // the distinct libraries read
};

}  // namespace obj2mesh
