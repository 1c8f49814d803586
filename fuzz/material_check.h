#pragma once

// The checks behind the fuzz_material target, shared with the test suite
// that replays the inputs kept under tests/data/fuzz/: arbitrary bytes as a
// material library, parsed directly and through readMaterialLibrary after
// another library. The name table must map every name to the first
// material that carries it.

#include <string>
#include <unordered_map>
#include <vector>

#include "material_library.h"

namespace material_check {

// Each check returns nullptr when every invariant holds, or the text of the
// first one that does not.
#define MATERIAL_CHECK(condition)  \
  do {                             \
    if (!(condition)) return #condition; \
  } while (0)

inline const char* checkTable(const std::vector<ObjMaterial>& materials, const MaterialTable& table) {
  MATERIAL_CHECK(!materials.empty());  // even an empty library yields one material
  std::unordered_map<std::string, int32_t> first;
  for (size_t id = 0; id < materials.size(); ++id) first.emplace(materials[id].name, int32_t(id));
  MATERIAL_CHECK(first.size() == table.size());
  for (const auto& entry : first) {
    auto it = table.find(entry.first);
    MATERIAL_CHECK(it != table.end() && it->second == entry.second);
  }
  return nullptr;
}

inline const char* checkMaterialLibrary(const char* data, size_t size) {
  {
    std::vector<ObjMaterial> materials;
    MaterialTable table;
    parseMaterialLibrary(data, size, materials, table);
    if (const char* failed = checkTable(materials, table)) return failed;
  }
  MemoryMaterialReader reader;
  reader.files["first.mtl"] = "newmtl shared\nKd 1 1 1\nnewmtl\n";
  reader.files["input.mtl"] = std::string(data, size);
  std::vector<ObjMaterial> materials;
  MaterialTable table;
  std::string errorText;
  readMaterialLibrary("first.mtl", reader, materials, table, errorText);
  size_t before = materials.size();
  readMaterialLibrary("input.mtl", reader, materials, table, errorText);
  MATERIAL_CHECK(materials.size() > before);
  MATERIAL_CHECK(table.count("shared") && table.at("shared") == 0);
  readMaterialLibrary("missing.mtl", reader, materials, table, errorText);
  MATERIAL_CHECK(!errorText.empty());
  return checkTable(materials, table);
}

#undef MATERIAL_CHECK

}  // namespace material_check
