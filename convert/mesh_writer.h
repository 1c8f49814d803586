#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct WriteResult {
  bool ok = true;
  std::string reason;  // why the file was not written
};

// Writes `size` bytes to `path` so that the path holds either its old
// content or the whole new file, never a part: the bytes go to a temporary
// file beside the target, which replaces it only once written and closed.
// A symbolic link at `path` is followed, so the file it names is replaced.
// Refuses to replace `inputPath` itself, under any name.
WriteResult writeMeshFile(const std::string& path, const uint8_t* data, size_t size,
                          const std::string& inputPath);
