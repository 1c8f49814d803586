#include "run.h"

#include <cstdio>
#include <string>

#include <obj2mesh/converter.h>

#include "command_line.h"
#include "output_path.h"

namespace {

void endLine(const char* word) {
  std::printf("%s\n", word);
  std::fflush(stdout);
}

void explain(const obj2mesh::Failure& failure) {
  if (failure.line)
    std::fprintf(stderr, "obj2mesh: %s:%llu: %s\n", failure.path.c_str(), (unsigned long long)failure.line,
                 failure.reason.c_str());
  else
    std::fprintf(stderr, "obj2mesh: %s: %s\n", failure.path.c_str(), failure.reason.c_str());
}

// Loads the OBJ file and converts it into `result`.
bool loadAndConvert(const std::string& inputPath, bool combineMeshes, obj2mesh::ConvertResult& result) {
  std::printf("Loading '%s'... ", inputPath.c_str());
  obj2mesh::LoadedObj loaded = obj2mesh::loadObjFile(inputPath);
  if (!loaded.ok()) {
    endLine("failed");
    explain(loaded.failure());
    return false;
  }
  endLine("complete");

  std::printf("Converting... ");
  obj2mesh::Options options;
  options.combineMeshes = combineMeshes;
  result = obj2mesh::convertLoadedObj(std::move(loaded), options);
  if (!result.ok()) {
    endLine("failed");
    explain(result.failure());
    return false;
  }
  endLine("complete");
  return true;
}

// Writes the finished buffer to `outputPath` (its extension forced to
// "mesh" first), never over the input file.
bool saveMeshFile(std::string outputPath, const obj2mesh::ConvertResult& result, const std::string& inputPath) {
  if (forceMeshExtension(outputPath)) {
    std::printf("Changed output type to '.%s'\n", MESH_EXTENSION.c_str());
  }
  std::printf("Saving to '%s'... ", outputPath.c_str());
  std::fflush(stdout);
  if (auto failure = obj2mesh::writeMeshFile(outputPath, result.data(), result.size(), inputPath)) {
    endLine("failed");
    explain(*failure);
    return false;
  }
  endLine("complete");
  return true;
}

}  // namespace

int runConverter(int argc, const char* const* argv) {
  ConvertOptions options;
  if (!parseCommandLine(argc, argv, options)) return 0;
  obj2mesh::ConvertResult result;
  if (!loadAndConvert(options.inputPath, options.combineMeshes, result)) return 1;
  if (!saveMeshFile(options.outputPath, result, options.inputPath)) return 1;
  return 0;
}
