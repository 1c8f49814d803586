#include "command_line.h"

#include <cstdio>
#include <cstring>

#include "output_path.h"

namespace {

bool isOneOf(const char* value, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (std::strcmp(value, w) == 0) return true;
  return false;
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, ConvertOptions& options) {
  if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    std::printf("Usage: %s inputfile [-o outputfile] [-c <combineMeshes=true>]\n", argc > 0 ? argv[0] : "");
    std::fflush(stdout);
    return false;
  }
  options.inputPath = argv[1];
  // An option counts only when a value follows it; the last argument is
  // never an option.
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0) {
      options.outputPath = argv[++i];
    } else if (std::strcmp(argv[i], "-c") == 0) {
      const char* value = argv[i + 1];
      if (isOneOf(value, {"1", "true", "TRUE", "True"})) {
        options.combineMeshes = true;
        ++i;
      } else if (isOneOf(value, {"0", "false", "FALSE", "False"})) {
        options.combineMeshes = false;
        ++i;
      }
      // Any other value is looked at again as a possible option.
    }
  }
  if (options.outputPath.empty()) {
    options.outputPath = options.inputPath;
    forceMeshExtension(options.outputPath);
  } else {
    options.outputTypeChanged = forceMeshExtension(options.outputPath);
  }
  return true;
}
