#pragma once

// Converts Wavefront OBJ files into .mesh files: one FlatBuffers buffer
// holding, per mesh, vertex positions, vertex normals and a triangle index
// list (schema mesh.fbs, reader code <obj2mesh/mesh_generated.h>).
//
// Nothing here prints, exits, throws, reads the environment, installs a
// signal handler, blocks a signal or changes the umask: every failure comes
// back as a Failure value, running out of memory included. Every function
// may be called from many threads at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <flatbuffers/detached_buffer.h>

#include <obj2mesh/version.h>

namespace obj2mesh {

// What a conversion writes. The fields after combineMeshes add content
// that a default conversion leaves out; a file written without them has the
// same bytes as one from a converter without them.
struct Options {
  // One mesh holding every shape, or one mesh per shape.
  bool combineMeshes = true;
  // Mesh.texcoords: one (u, v) per vertex, parallel to positions; (0, 0)
  // for a vertex whose corners name no texture coordinate. A load keeps
  // texture coordinates only when LoadOptions::texcoords asks for them.
  bool texcoords = false;
  // Mesh.normals with one normal per vertex, parallel to positions;
  // (0, 0, 0) for a vertex whose corners name none. A mesh without any
  // normal keeps an empty list.
  bool alignNormals = false;
  // Mesh.parts (runs of triangles of one shape and one material),
  // Model.shapes (every shape's name) and Model.materials (every material
  // of the libraries read, so that a material id indexes it).
  bool parts = false;
};

// What kind of failure a Failure reports.
enum class FailureKind {
  CannotRead,   // the input cannot be opened or read
  Rejected,     // its content cannot be converted; the line says where
  TooLarge,     // the mesh file would be larger than a .mesh file can be
  CannotWrite,  // the output cannot be written (or would replace the input)
  OutOfMemory,
  Internal,     // an unexpected internal error
};

// Why a step failed: the file concerned, the 1-based line of the content
// that was rejected (0 when no line applies), the reason and its kind.
struct Failure {
  std::string path;
  uint64_t line = 0;
  std::string reason;
  FailureKind kind = FailureKind::Internal;
};

// Gives the bytes of the material library an "mtllib" line names; false
// when there is no such library, which is not an error (its names simply
// resolve to no material).
using MaterialLookup = std::function<bool(const std::string& name, std::string& contents)>;

// A lookup that opens library names relative to `folder` (names that start
// with '/' as they are): usually the OBJ file's own folder.
[[nodiscard]] MaterialLookup materialsFrom(const std::string& folder);

// How OBJ text is read. The result is the same whatever the settings.
struct LoadOptions {
  // The most threads that parse the text; 0 for as many as the CPUs this
  // process may run on. Never more than one per 4 MB of input, so small
  // inputs are read on the calling thread alone.
  unsigned threads = 0;
  // Where the material libraries an "mtllib" line names come from. Empty:
  // the names open as paths exactly as written, so a relative name
  // resolves against the working directory.
  MaterialLookup materials;
  // Keep the values of "vt" lines, which Options::texcoords writes. Reading
  // them costs time, so a load skips them unless asked; convertObjFile and
  // convertObjBuffer ask whenever their Options do.
  bool texcoords = false;
};

// A file a load read, or looked for and did not find (a material library
// that is not there): what a caller needs to tell whether a later load of
// the same input would read the same bytes.
struct InputFile {
  std::string path;       // as the load opened it
  bool found = false;     // false: it could not be opened
  uint64_t size = 0;      // when read
  int64_t modified = 0;   // modification time when read, in nanoseconds since the epoch
};

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
  // The files the load read or looked for, in the order it did: the OBJ
  // file (unless loaded from memory), then its material libraries.
  const std::vector<InputFile>& inputFiles() const { return files_; }

 private:
  friend struct ConverterAccess;

  std::string path_;
  std::unique_ptr<ObjShapes> shapes_;
  Failure failure_;
  std::vector<uint64_t> inputFiles_;  // device and inode of each file the load read
  std::vector<InputFile> files_;
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
  // The files its load read or looked for (see LoadedObj::inputFiles).
  const std::vector<InputFile>& inputFiles() const { return files_; }

 private:
  friend struct ConverterAccess;

  bool ok_ = false;
  flatbuffers::DetachedBuffer buffer_;
  Failure failure_;
  std::vector<uint64_t> inputFiles_;  // device and inode of each file the load read
  std::vector<InputFile> files_;
};

// Step by step: load an OBJ file with the material libraries it names,
// then convert what was loaded (which consumes it). Libraries come from
// loadOptions.materials (see LoadOptions).
[[nodiscard]] LoadedObj loadObjFile(const std::string& objPath, const LoadOptions& loadOptions = {}) noexcept;
// The same from OBJ bytes in memory; `name` stands for the file in failures.
// Libraries come from `materials`, or from loadOptions.materials when
// `materials` is empty.
[[nodiscard]] LoadedObj loadObjBuffer(const char* data, size_t size, const std::string& name,
                                      const MaterialLookup& materials, const LoadOptions& loadOptions = {}) noexcept;
// Options::texcoords fails (kind Internal) on a load that did not keep
// texture coordinates (LoadOptions::texcoords).
[[nodiscard]] ConvertResult convertLoadedObj(LoadedObj&& loaded, const Options& options = {}) noexcept;

// Both steps at once.
[[nodiscard]] ConvertResult convertObjFile(const std::string& objPath, const Options& options = {},
                                           const LoadOptions& loadOptions = {}) noexcept;
[[nodiscard]] ConvertResult convertObjBuffer(const char* data, size_t size, const std::string& name,
                                             const MaterialLookup& materials, const Options& options = {},
                                             const LoadOptions& loadOptions = {}) noexcept;

// Writes `size` bytes to `path` so that the path holds either its old
// content or the whole new file, never a part: the bytes go to a temporary
// file beside the target, which replaces it only once written and closed.
// The new file's mode is 0666 less the umask. A symbolic link at `path` is
// followed, so the file it names is replaced. Devices, FIFOs and sockets
// are refused, and so is `inputPath` itself under any name (when given).
// Writes from many threads at once, to one path too, each leave one whole
// file. Returns the failure, or nothing on success.
[[nodiscard]] std::optional<Failure> writeMeshFile(const std::string& path, const uint8_t* data, size_t size,
                                                   const std::string& inputPath = {}) noexcept;
// Writes a conversion's buffer the same way, refusing to replace any file
// its load read (the OBJ file and every material library from a file), as
// they were when read, whatever their names are now.
[[nodiscard]] std::optional<Failure> writeMeshFile(const std::string& path, const ConvertResult& result) noexcept;

// Where unnamed temporary files are unavailable, the temporary file has a
// hidden name beside the output until it takes the output's name. A program
// that may end on a signal calls this from its own handler (it is
// async-signal-safe), before letting the signal take its course: it removes
// the hidden files of the writes in progress, so that none is left behind.
void removeTemporaryMeshFiles() noexcept;

}  // namespace obj2mesh
