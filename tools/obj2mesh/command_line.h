#pragma once

#include <string>

struct ConvertOptions {
  std::string inputPath;
  // Ends in ".mesh": derived from inputPath when no usable "-o" is given.
  std::string outputPath;
  // Whether the "-o" path had another extension, which was replaced.
  bool outputTypeChanged = false;
  bool combineMeshes = true;
};

// Fills `options` from the arguments. Prints the usage line and returns
// false when there is no input or the first argument asks for help.
bool parseCommandLine(int argc, const char* const* argv, ConvertOptions& options);
