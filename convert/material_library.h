#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

// One material of an MTL library. Only its position in the load's material
// list (its id) reaches the shapes; the properties are kept for callers.
struct ObjMaterial {
  std::string name;
  float ambient[3] = {0, 0, 0};
  float diffuse[3] = {0, 0, 0};
  float specular[3] = {0, 0, 0};
  float transmittance[3] = {0, 0, 0};
  float emission[3] = {0, 0, 0};
  float shininess = 1;
  float ior = 1;
  float dissolve = 1;
  int32_t illum = 0;
  std::string ambient_texname;
  std::string diffuse_texname;
  std::string specular_texname;
  std::string specular_highlight_texname;
  std::string bump_texname;
  std::string alpha_texname;
  std::string displacement_texname;
  std::map<std::string, std::string> unknown_parameter;
};

// Material name -> id. The first registration of a name wins.
using MaterialTable = std::unordered_map<std::string, int32_t>;

// Where material libraries come from: files by default, memory in tests.
class MaterialReader {
 public:
  virtual ~MaterialReader() = default;
  // The whole library named `name`; false when it cannot be opened or read.
  virtual bool read(const std::string& name, std::string& contents) = 0;
};

// Opens the name as a path exactly as written, so relative names resolve
// against the working directory.
class FileMaterialReader : public MaterialReader {
 public:
  bool read(const std::string& name, std::string& contents) override;
};

class MemoryMaterialReader : public MaterialReader {
 public:
  std::map<std::string, std::string> files;
  bool read(const std::string& name, std::string& contents) override;
};

// Reads one library into the load's material list and name table. A library
// that cannot be read contributes one unnamed default material and a
// warning in `errorText`; nothing here fails a load.
void readMaterialLibrary(const std::string& name, MaterialReader& reader,
                         std::vector<ObjMaterial>& materials, MaterialTable& table,
                         std::string& errorText);

// The bytes of the library named `name`; a library that cannot be read
// reads as empty, and a warning is appended to `errorText`.
std::string readLibraryText(const std::string& name, MaterialReader& reader, std::string& errorText);

// Parses library text (as readMaterialLibrary does once it has the bytes).
void parseMaterialLibrary(const char* data, size_t size, std::vector<ObjMaterial>& materials,
                          MaterialTable& table);

// Reads a whole file; false with errno set when it cannot be opened or read
// (a directory cannot be read).
bool readWholeFile(const std::string& path, std::string& contents);
