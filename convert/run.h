#pragma once

#include <string>

#include <flatbuffers/flatbuffers.h>

// The converter's run, as the obj2mesh program performs it. These print the
// progress lines on standard output and, when a step fails, one line on
// standard error saying why.

// Loads the OBJ file and converts it into the finished buffer in `builder`.
bool loadAndConvert(const std::string& inputPath, bool combineMeshes,
                    flatbuffers::FlatBufferBuilder& builder);

// Writes the finished buffer to `outputPath` (its extension forced to
// "mesh" first), never over the input file.
bool saveMeshFile(std::string outputPath, const flatbuffers::FlatBufferBuilder& builder,
                  const std::string& inputPath);

// The whole program: returns the process exit status.
int runConverter(int argc, const char* const* argv);
