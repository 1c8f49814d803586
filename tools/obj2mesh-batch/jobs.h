#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <obj2mesh/converter.h>

#include "command_line.h"

enum class Status { Pending, Converted, UpToDate, Failed };

// One OBJ file to convert, and what became of it.
struct Job {
  std::filesystem::path input, output;
  std::string relative;  // the path relative to its INPUT, which --shard hashes
  uintmax_t inputBytes = 0, outputBytes = 0;
  uint64_t meshes = 0, vertices = 0, triangles = 0;
  double milliseconds = 0;
  Status status = Status::Pending;
  obj2mesh::Failure failure;
};

// Every OBJ file the inputs name, sorted by path, with its output; the
// shard's share only. Exits with a usage error on an input that is missing,
// a file named before "--" whose extension is not obj, or two inputs that
// would make the same output.
std::vector<Job> findJobs(const Settings& settings);
