#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "obj2mesh/converter.h"

namespace obj2mesh {

// How writeMeshFile makes the new file before it takes the output's name.
enum class TemporaryFile {
  Unnamed,  // no name at all until it is complete, where the file system allows
  Named,    // a hidden name beside the output (see removeTemporaryMeshFiles)
};

// writeMeshFile with the kind of temporary file chosen; allocation failures
// throw.
std::optional<Failure> writeMeshFileVia(TemporaryFile kind, const std::string& path, const uint8_t* data,
                                        size_t size, const std::string& inputPath);

// Called, when set, once the temporary file exists and before its bytes
// are written; tests use it to interrupt a write there.
extern void (*afterTemporaryCreated)();

}  // namespace obj2mesh
