#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_io.h"
#include "obj2mesh/converter.h"

namespace obj2mesh {

// How writeMeshFile makes the new file before it takes the output's name.
enum class TemporaryFile {
  Unnamed,  // no name at all until it is complete, where the file system allows
  Named,    // a hidden name beside the output (see removeTemporaryMeshFiles)
};

// writeMeshFile with the kind of temporary file chosen, refusing to replace
// any of `inputs`; allocation failures throw.
std::optional<Failure> writeMeshFileVia(TemporaryFile kind, const std::string& path, const uint8_t* data,
                                        size_t size, const std::vector<FileIdentity>& inputs);

// Called, when set, once the temporary file exists and before its bytes
// are written; tests use it to interrupt a write there.
extern void (*afterTemporaryCreated)();
// Brings a written file to the disk (fdatasync); tests make it fail.
extern int (*syncFile)(int fd);

}  // namespace obj2mesh
