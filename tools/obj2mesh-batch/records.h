#pragma once

// Records of how each output was made, so that a later run converts again
// exactly the outputs that a conversion now would make differently. Each
// output DIR/NAME.mesh has its record in DIR/.obj2mesh-batch/NAME.rec, a
// small text file (docs/batch.md describes it):
//
//   obj2mesh-batch record 1
//   build 0.1.0 <SHA-256 of the converter's sources>
//   options combine=true texcoords=false aligned-normals=false parts=false
//   output <size> <modification time, ns> <inode>
//   read <size> <modification time, ns> <absolute path>     (the OBJ file first)
//   missing <absolute path>
//   end
//
// Paths are percent-encoded ('%', control bytes and DEL as %XX).

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <obj2mesh/converter.h>

// A file as it is on disk, enough to tell it from its other versions.
struct FileIdentity {
  uint64_t size = 0;
  int64_t modified = 0;  // nanoseconds since the epoch
  uint64_t inode = 0;
  bool operator==(const FileIdentity& other) const {
    return size == other.size && modified == other.modified && inode == other.inode;
  }
};

inline FileIdentity identityOf(const struct stat& st) {
  return {uint64_t(st.st_size), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, uint64_t(st.st_ino)};
}

struct Record {
  FileIdentity output;
  std::vector<obj2mesh::InputFile> files;  // absolute paths
};

// Where the record of `output` is.
std::filesystem::path recordPath(const std::filesystem::path& output);

// `path` made absolute against the working directory, without its "."
// parts, and otherwise as written, so that it names the same file.
std::string absoluteForm(const std::string& path);

// The record at `path` when it is whole and made by this converter build
// with `options`; nothing otherwise.
std::optional<Record> readRecord(const std::filesystem::path& path, const obj2mesh::Options& options);

// Records how `output` was just written from `result` with `options`:
// through a temporary file renamed into place. Writes nothing when the file
// at `output` no longer holds the result's bytes (another run replaced it
// meanwhile). Returns the failure, if any.
std::optional<obj2mesh::Failure> writeRecord(const std::filesystem::path& output, const obj2mesh::ConvertResult& result,
                                             const obj2mesh::Options& options);
