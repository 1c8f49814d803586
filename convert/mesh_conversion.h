#pragma once

#include <cstdint>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "shape_assembly.h"

// The largest buffer FlatBuffers can address: offsets are signed 32-bit.
constexpr uint64_t kMaxMeshBufferSize = 2147483646;

// Exact size in bytes of the finished buffer that convertShapes builds from
// these shapes, computed from the element counts alone.
uint64_t meshBufferSize(const std::vector<ObjShape>& shapes, bool combineMeshes);

// Writes the shapes into `builder` as one Model: one Mesh holding every shape
// (combined) or one Mesh per shape, and finishes the buffer. The builder is
// replaced by one sized for the result, so it never grows by copies.
// Consumes the shapes' data. Returns false, building nothing, when the
// buffer would exceed kMaxMeshBufferSize.
bool convertShapes(std::vector<ObjShape>& shapes, bool combineMeshes,
                   flatbuffers::FlatBufferBuilder& builder);
