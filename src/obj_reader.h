#pragma once

// Loading an OBJ file: the entry points that read the text in chunks and
// apply them to one load (obj_reader.cpp).

#include <cstddef>
#include <string>

#include "chunk_pipeline.h"
#include "obj2mesh/converter.h"
#include "shape_assembly.h"

namespace obj2mesh {

struct ReadOptions : ChunkOptions {
  // With `threads` 0, the threads are chosen for the input: as many as the
  // CPUs this process may run on, one per 4 MB of input at most, and no
  // more than `maxThreads` unless it is 0. Otherwise `threads` is exact.
  unsigned maxThreads = 0;
  ReadOptions() { threads = 0; }
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
