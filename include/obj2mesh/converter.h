#pragma once

// Converts Wavefront OBJ files into .mesh files: one FlatBuffers buffer
// holding, per mesh, vertex positions, vertex normals and a triangle index
// list (schema mesh.fbs, reader code <obj2mesh/mesh_generated.h>).
//
// Nothing here prints, exits or throws: every failure comes back as a
// Failure value, running out of memory included.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <flatbuffers/detached_buffer.h>

namespace obj2mesh {

struct Options {
  // One mesh holding every shape, or one mesh per shape.
  bool combineMeshes = true;
};

// How OBJ text is read. The result is the same whatever the settings.
struct LoadOptions {
  // The most threads that parse the text; 0 for as many as the CPUs this
  // process may run on. Never more than one per 4 MB of input, so small
  // inputs are read on the calling thread alone.
  unsigned threads = 0;
};

// Why a step failed: the file concerned, the 1-based line of the content
// that was rejected (0 when no line applies) and the reason.
struct Failure {
  std::string path;
  uint64_t line = 0;
  std::string reason;
};

// Gives the bytes of the material library an "mtllib" line names; false
// when there is no such library, which is not an error (its names simply
// resolve to no material).
using MaterialLookup = std::function<bool(const std::string& name, std::string& contents)>;

struct ObjShapes;
struct ConverterAccess;

// The shapes of one OBJ file, loaded and ready to convert.
class LoadedObj {
 public:
  LoadedObj();
  LoadedObj(LoadedObj&&) noexcept;
  LoadedObj& operator=(LoadedObj&&) noexcept;
  ~LoadedObj();

  bool ok() const { return shapes_ != nullptr; }
  const Failure& failure() const { return failure_; }

 private:
  friend struct ConverterAccess;

  std::string path_;
  std::unique_ptr<ObjShapes> shapes_;
  Failure failure_;
};

// A finished .mesh buffer, or why there is none.
class ConvertResult {
 public:
  ConvertResult() = default;

  bool ok() const { return ok_; }
  // The bytes of the .mesh file, owned by the result; null when !ok().
  const uint8_t* data() const { return buffer_.data(); }
  size_t size() const { return buffer_.size(); }
  const Failure& failure() const { return failure_; }

 private:
  friend struct ConverterAccess;

  bool ok_ = false;
  flatbuffers::DetachedBuffer buffer_;
  Failure failure_;
};

// Step by step: load an OBJ file with the material libraries it names,
// then convert what was loaded (which consumes it). The file functions open
// a library by its name exactly as written, so a relative name resolves
// against the working directory, not against the OBJ file's folder.
LoadedObj loadObjFile(const std::string& objPath, const LoadOptions& loadOptions = {}) noexcept;
// The same from OBJ bytes in memory; `name` stands for the file in failures.
LoadedObj loadObjBuffer(const char* data, size_t size, const std::string& name, const MaterialLookup& materials,
                        const LoadOptions& loadOptions = {}) noexcept;
ConvertResult convertLoadedObj(LoadedObj&& loaded, const Options& options = {}) noexcept;

// Both steps at once.
ConvertResult convertObjFile(const std::string& objPath, const Options& options = {},
                             const LoadOptions& loadOptions = {}) noexcept;
ConvertResult convertObjBuffer(const char* data, size_t size, const std::string& name,
                               const MaterialLookup& materials, const Options& options = {},
                               const LoadOptions& loadOptions = {}) noexcept;

// Writes `size` bytes to `path` so that the path holds either its old
// content or the whole new file, never a part: the bytes go to a temporary
// file beside the target, which replaces it only once written and closed.
// A symbolic link at `path` is followed, so the file it names is replaced.
// Devices, FIFOs and sockets are refused, and so is `inputPath` itself
// under any name (when given). Returns the failure, or nothing on success.
std::optional<Failure> writeMeshFile(const std::string& path, const uint8_t* data, size_t size,
                                     const std::string& inputPath = {}) noexcept;

}  // namespace obj2mesh
