#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <obj2mesh/converter.h>

// What the command line asks for.
struct Settings {
  std::filesystem::path outputDir;  // empty: each mesh beside its OBJ
  obj2mesh::Options options;  // -c and --with
  unsigned jobs = 0;
  bool force = false;
  uint64_t shard = 0, shards = 1;  // take the files whose hash is shard modulo shards
  std::string reportPath;
  bool quiet = false;
  std::vector<std::string> inputs;
  // The first checkedInputs inputs came before "--": a file among them
  // must have the extension obj.
  size_t checkedInputs = 0;
};

// The settings the arguments give. Prints the usage and exits with status 0
// for --help, prints the version and exits for --version, and exits through
// usageError on anything it cannot take.
Settings parseCommandLine(int argc, char** argv);

// Prints the message and the usage on standard error and exits with status 2.
[[noreturn]] void usageError(const std::string& message);
