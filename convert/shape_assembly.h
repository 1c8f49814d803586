#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pod_array.h"

// One face corner as read from a face line: 0-based indices into the
// file-wide position, texture-coordinate and normal lists; -1 marks an
// absent component. Relative indices are already resolved, so any value
// (negative ones too) may name nothing.
struct CornerIndex {
  int32_t v_idx = -1;
  int32_t vt_idx = -1;
  int32_t vn_idx = -1;
};

inline bool operator==(const CornerIndex& a, const CornerIndex& b) {
  return a.v_idx == b.v_idx && a.vt_idx == b.vt_idx && a.vn_idx == b.vn_idx;
}

// Address space shared by the shapes of one load: a shape's lists follow
// the previous shape's lists in these zones (see ArrayZone).
struct ShapeStorage {
  ArrayZone positions, normals, texcoords, indices, materialIds;
  ShapeStorage() = default;
  ShapeStorage(const ShapeStorage&) = delete;
  ShapeStorage& operator=(const ShapeStorage&) = delete;
  ~ShapeStorage();
};

// Reserves zones for the shapes of an input of `inputBytes` bytes (0 when
// unknown); null when the address space is not available.
std::shared_ptr<ShapeStorage> makeShapeStorage(uint64_t inputBytes);

// One shape of the OBJ shape model. `normals` and `texcoords` hold one entry
// per vertex that received one, in vertex creation order, so they line up
// with `positions` only when every vertex received one.
struct ObjShape {
  std::string name;
  PodArray<float> positions;    // 3 per vertex
  PodArray<float> normals;      // 3 per vertex that has a normal
  PodArray<float> texcoords;    // 2 per vertex that has a texture coordinate
  PodArray<uint32_t> indices;   // 3 per triangle, numbering this shape's vertices
  PodArray<int32_t> materialIds;  // 1 per triangle, -1 for none
  std::shared_ptr<ShapeStorage> storage;  // keeps zone-backed lists alive

  size_t vertexCount() const { return positions.size() / 3; }
};

// Places the new, empty shape's lists at the free ends of `storage`'s zones.
void openShape(ObjShape& shape, const std::shared_ptr<ShapeStorage>& storage);
// Ends the shape's growth, so the next shape's lists follow it.
void closeShape(ObjShape& shape);

// Maps a corner triple to the vertex it became within one face group.
// Corners are found through their position index: faces mostly name nearby
// positions, so a table indexed by position keeps lookups in cache where a
// hash of the triple would scatter them. Corners of one position that
// differ in texture or normal index are chained. Position indices that name
// no vertex yet (forward or broken references) go to a small hash table.
struct VertexCache {
  struct Slot {
    int32_t v_idx;
    uint32_t vertexPlusOne;  // 0 marks an empty slot
  };
  PodArray<uint32_t> byPosition;    // 1 + the group's first vertex at that position, or 0
  PodArray<uint32_t> samePosition;  // per vertex: 1 + the next vertex at its position, or 0
  PodArray<Slot> slots;             // open addressing, linear probing
  size_t hashed = 0;                // corners held in `slots`
  PodArray<CornerIndex> corners;    // the group's new vertices, in creation order
};

// A corner whose position index named no vertex when its face was read.
// Vertices may still be defined before the group is flushed, so the check
// waits for the flush; the line is kept for the message.
struct PendingCorner {
  uint32_t vertex;  // index into VertexCache::corners
  uint64_t line;
};

// The faces collected since the last flush. Corners are welded as faces
// arrive (numbering depends only on the order of first visit), but the
// attribute values are copied at the flush, as a face may name vertices
// whose lines come after it.
struct FaceGroup {
  bool hasFaces = false;  // a face of any corner count was added
  int32_t materialId = -1;
  bool recordMaterialIds = true;  // false when no one reads ObjShape::materialIds
  uint32_t firstVertex = 0;  // the shape's vertex count when the group's first face came
  VertexCache cache;
  PodArray<PendingCorner> pending;
};

enum class AssemblyError {
  None,
  BadVertexIndex,   // a welded corner names no vertex
  TooManyVertices,  // a shape outgrew 32-bit vertex numbers
};

struct AssemblyFailure {
  AssemblyError error = AssemblyError::None;
  uint64_t line = 0;         // line of the face that holds the corner
  int64_t vertexIndex = 0;   // the corner's 0-based position index
  uint64_t vertexCount = 0;  // positions defined at the flush
};

// Welds one corner into the group: returns its vertex number in the shape,
// creating a vertex on the first visit of the triple.
// `positionCount` is the number of vertices read so far, `line` the face's.
uint32_t weldCorner(VertexCache& cache, FaceGroup& group, const CornerIndex& corner,
                    size_t positionCount, uint64_t line, AssemblyFailure& failure);

// Fan-triangulates one face into the group and the shape's index and
// material lists. Faces of fewer than 3 corners add no triangle but still
// count as faces of the group. False when the shape ran out of vertex
// numbers (`failure` says so).
bool addFace(ObjShape& shape, FaceGroup& group, const CornerIndex* corners, size_t cornerCount,
             size_t positionCount, uint64_t line, AssemblyFailure& failure);

// Closes the group: copies the attribute values of its new vertices from the
// file-wide lists into the shape and names the shape. Returns false, leaving
// the shape untouched, when the group holds no face. A corner whose
// position index names no vertex fails the flush through `failure`.
bool flushFaceGroup(ObjShape& shape, FaceGroup& group, const PodArray<float>& in_positions,
                    const PodArray<float>& in_normals, const PodArray<float>& in_texcoords,
                    const std::string& name, AssemblyFailure& failure);

// Empties the group for the next one, keeping its memory when small.
void resetFaceGroup(FaceGroup& group);
