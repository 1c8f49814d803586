#pragma once

#include <cstdint>

#include <flatbuffers/detached_buffer.h>

#include "obj2mesh/converter.h"
#include "shape_assembly.h"

namespace obj2mesh {

// The largest buffer FlatBuffers can address: offsets are signed 32-bit.
constexpr uint64_t kMaxMeshBufferSize = 2147483646;

// Size in bytes of the mesh file that convertShapes builds from these
// shapes, computed from the shape records alone: exact but for the
// materials, which are counted as if none shared a vtable.
uint64_t meshBufferSize(const ObjShapes& shapes, const Options& options);

// Writes the shapes as one Model: one Mesh holding every shape (combined)
// or one Mesh per shape, with what `options` ask for, into a buffer sized
// once for the result. Consumes the shapes' lists. False, building nothing,
// when the file would exceed kMaxMeshBufferSize; `failure.reason` then
// gives both sizes.
bool convertShapes(ObjShapes& shapes, const Options& options, flatbuffers::DetachedBuffer& out, Failure& failure);

}  // namespace obj2mesh
