#include "run.h"

#include <cstdio>
#include <vector>

#include "command_line.h"
#include "mesh_conversion.h"
#include "mesh_writer.h"
#include "obj_reader.h"
#include "output_path.h"

namespace {

void endLine(const char* word) {
  std::printf("%s\n", word);
  std::fflush(stdout);
}

void explain(const std::string& path, uint64_t line, const std::string& reason) {
  if (line)
    std::fprintf(stderr, "obj2mesh: %s:%llu: %s\n", path.c_str(), (unsigned long long)line, reason.c_str());
  else
    std::fprintf(stderr, "obj2mesh: %s: %s\n", path.c_str(), reason.c_str());
}

}  // namespace

bool loadAndConvert(const std::string& inputPath, bool combineMeshes,
                    flatbuffers::FlatBufferBuilder& builder) {
  std::printf("Loading '%s'... ", inputPath.c_str());
  std::vector<ObjShape> shapes;
  std::vector<ObjMaterial> materials;
  std::string loaderText;  // the loader's own diagnostics are not shown
  // Texture coordinates and material ids never reach the mesh file.
  LoadOptions options;
  options.keepTexcoords = false;
  options.keepMaterialIds = false;
  FileMaterialReader materialReader;
  LoadResult loaded = loadObjFile(inputPath, shapes, materials, loaderText, materialReader, options);
  if (!loaded.ok()) {
    endLine("failed");
    explain(loaded.path, loaded.line, loaded.reason);
    return false;
  }
  endLine("complete");
  materials.clear();

  std::printf("Converting... ");
  if (!convertShapes(shapes, combineMeshes, builder)) {
    endLine("failed");
    explain(inputPath, 0,
            "the mesh file would take " + std::to_string(meshBufferSize(shapes, combineMeshes)) +
                " bytes, more than the " + std::to_string(kMaxMeshBufferSize) + " a mesh file can hold");
    return false;
  }
  endLine("complete");
  return true;
}

bool saveMeshFile(std::string outputPath, const flatbuffers::FlatBufferBuilder& builder,
                  const std::string& inputPath) {
  if (forceMeshExtension(outputPath)) {
    std::printf("Changed output type to '.%s'\n", MESH_EXTENSION.c_str());
  }
  std::printf("Saving to '%s'... ", outputPath.c_str());
  std::fflush(stdout);
  WriteResult written = writeMeshFile(outputPath, builder.GetBufferPointer(), builder.GetSize(), inputPath);
  if (!written.ok) {
    endLine("failed");
    explain(outputPath, 0, written.reason);
    return false;
  }
  endLine("complete");
  return true;
}

int runConverter(int argc, const char* const* argv) {
  ConvertOptions options;
  if (!parseCommandLine(argc, argv, options)) return 0;
  flatbuffers::FlatBufferBuilder builder;
  if (!loadAndConvert(options.inputPath, options.combineMeshes, builder)) return 1;
  if (!saveMeshFile(options.outputPath, builder, options.inputPath)) return 1;
  return 0;
}
