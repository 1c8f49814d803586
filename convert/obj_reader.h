#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "material_library.h"
#include "shape_assembly.h"

enum class LoadStatus {
  Loaded,
  CannotRead,  // the OBJ file cannot be opened or read
  Rejected,    // its content cannot be converted
};

// The outcome of a load; on failure it names the file and, for rejected
// content, the 1-based line.
struct LoadResult {
  LoadStatus status = LoadStatus::Loaded;
  std::string path;
  uint64_t line = 0;
  std::string reason;
  bool ok() const { return status == LoadStatus::Loaded; }
};

// What a load keeps besides positions, normals and indices. A caller that
// never reads texture coordinates or material ids saves their memory and,
// for texture coordinates, the reading of the values.
struct LoadOptions {
  bool keepTexcoords = true;
  bool keepMaterialIds = true;
  // Size of the first block the text is read in (a longer line grows it).
  // Tests and fuzzers make it small, so that lines cross block ends the way
  // they do in large files.
  size_t firstBlockBytes = size_t(1) << 20;
};

// Reads an OBJ file and the material libraries it names into shapes, in
// file order. `errorText` collects the loader's diagnostics (a missing
// library, an unopenable file), which are informational only.
LoadResult loadObjFile(const std::string& path, std::vector<ObjShape>& shapes,
                       std::vector<ObjMaterial>& materials, std::string& errorText,
                       MaterialReader& materialReader, const LoadOptions& options = LoadOptions());
LoadResult loadObjFile(const std::string& path, std::vector<ObjShape>& shapes,
                       std::vector<ObjMaterial>& materials, std::string& errorText);

// The same from OBJ text in memory; `path` only names it in failures.
LoadResult loadObjBuffer(const char* data, size_t size, const std::string& path,
                         std::vector<ObjShape>& shapes, std::vector<ObjMaterial>& materials,
                         std::string& errorText, MaterialReader& materialReader,
                         const LoadOptions& options = LoadOptions());
