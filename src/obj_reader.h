#pragma once

#include <cstddef>
#include <string>

#include "obj2mesh/converter.h"
#include "shape_assembly.h"

namespace obj2mesh {

struct ReadOptions {
  // Size of the first block the text is read in on one thread (a longer
  // line grows it). Tests and fuzzers make it small, so that lines cross
  // block ends the way they do in large files.
  size_t firstBlockBytes = size_t(1) << 20;
  // Threads that read the text; 0 for the number the environment variable
  // OBJ2MESH_THREADS asks for (1 without it), as far as the CPUs and the
  // input's size justify.
  unsigned threads = 0;
  // Size of the chunks the text is cut into, after a line feed, when
  // several threads parse it. Tests and fuzzers make it small, so that
  // every kind of statement meets a chunk's end.
  size_t chunkBytes = size_t(512) << 10;
};

// Reads an OBJ file, and the material libraries it names through `lookup`,
// into `shapes`, in file order. False when the file cannot be read or its
// content cannot be converted; `failure` then names the file and, for
// content, the line.
bool readObjFile(const std::string& path, const MaterialLookup& lookup, ObjShapes& shapes, Failure& failure,
                 const ReadOptions& options = {});

// The same from OBJ text in memory; `path` only names it in failures.
bool readObjBuffer(const char* data, size_t size, const std::string& path, const MaterialLookup& lookup,
                   ObjShapes& shapes, Failure& failure, const ReadOptions& options = {});

}  // namespace obj2mesh
