// Arbitrary bytes as a material library, parsed directly and through
// readMaterialLibrary twice (a second library appends to the same list and
// table). The name table must only ever point at a material of that name,
// and the first registration of a name must win.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "material_library.h"

namespace {

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

#define CHECK(condition)                  \
  do {                                    \
    if (!(condition)) violated(#condition); \
  } while (0)

void checkTable(const std::vector<ObjMaterial>& materials, const MaterialTable& table) {
  CHECK(!materials.empty());  // even an empty library yields one material
  // Every name maps to the first material that carries it.
  std::unordered_map<std::string, int32_t> first;
  for (size_t id = 0; id < materials.size(); ++id) first.emplace(materials[id].name, int32_t(id));
  CHECK(first.size() == table.size());
  for (const auto& entry : first) {
    auto it = table.find(entry.first);
    CHECK(it != table.end() && it->second == entry.second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const char* data = reinterpret_cast<const char*>(bytes);
  {
    std::vector<ObjMaterial> materials;
    MaterialTable table;
    parseMaterialLibrary(data, size, materials, table);
    checkTable(materials, table);
  }
  {
    MemoryMaterialReader reader;
    reader.files["first.mtl"] = "newmtl shared\nKd 1 1 1\nnewmtl\n";
    reader.files["fuzz.mtl"] = std::string(data, size);
    std::vector<ObjMaterial> materials;
    MaterialTable table;
    std::string errorText;
    readMaterialLibrary("first.mtl", reader, materials, table, errorText);
    size_t before = materials.size();
    readMaterialLibrary("fuzz.mtl", reader, materials, table, errorText);
    CHECK(materials.size() > before);
    CHECK(table.at("shared") == 0);
    readMaterialLibrary("missing.mtl", reader, materials, table, errorText);
    CHECK(!errorText.empty());
    checkTable(materials, table);
  }
  return 0;
}
