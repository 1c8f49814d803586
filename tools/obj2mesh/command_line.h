#pragma once

#include <string>

struct ConvertOptions {
  std::string inputPath;
  std::string outputPath;  // derived from inputPath when no usable "-o" is given
  bool combineMeshes = true;
};

// Fills `options` from the arguments. Prints the usage line and returns
// false when there is no input or the first argument asks for help.
bool parseCommandLine(int argc, const char* const* argv, ConvertOptions& options);
