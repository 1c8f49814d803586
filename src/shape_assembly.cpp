#include "shape_assembly.h"

#include <algorithm>
#include <cstring>

namespace obj2mesh {
namespace {

inline bool operator==(const CornerIndex& a, const CornerIndex& b) {
  return a.v_idx == b.v_idx && a.vt_idx == b.vt_idx && a.vn_idx == b.vn_idx;
}

constexpr size_t kInitialSlots = 64;
constexpr size_t kKeptSlots = 4096;

// Maps a corner triple to the vertex it became within one face group.
// Corners are found through their position index: faces mostly name nearby
// positions, so a table indexed by position keeps lookups in cache where a
// hash of the triple would scatter them. Corners of one position that
// differ in texture or normal index are chained. Position indices that name
// no vertex yet (forward or broken references) go to a small hash table.
struct VertexCache {
  struct Vertex {
    CornerIndex corner;
    uint32_t nextPlusOne;  // 1 + the next vertex at the same position, or 0
  };
  struct Slot {
    int32_t v_idx;
    uint32_t vertexPlusOne;  // 0 marks an empty slot
  };
  PodArray<uint32_t> byPosition;  // 1 + the group's first vertex at that position, or 0
  PodArray<Vertex> vertices;      // the group's new vertices, in creation order
  PodArray<Slot> slots;           // open addressing, linear probing
  size_t hashed = 0;              // corners held in `slots`
};

// A corner whose position index named no vertex when its face was read.
// Vertices may still be defined before the group is flushed, so the check
// waits for the flush; the line is kept for the message.
struct PendingCorner {
  uint32_t vertex;  // index into VertexCache::vertices
  uint64_t line;
};

inline size_t hashCorner(const CornerIndex& c) {
  uint64_t k = uint64_t(uint32_t(c.v_idx)) | (uint64_t(uint32_t(c.vt_idx)) << 32);
  k ^= uint64_t(uint32_t(c.vn_idx)) * 0x9E3779B97F4A7C15ull;
  k *= 0xFF51AFD7ED558CCDull;
  return size_t(k ^ (k >> 32));
}

// Hash table of the corners whose position index lay outside byPosition.
void rehash(VertexCache& cache, size_t slotCount) {
  PodArray<VertexCache::Slot> old = std::move(cache.slots);
  cache.slots.resize(slotCount);
  size_t mask = slotCount - 1;
  for (const VertexCache::Slot& entry : old) {
    if (entry.vertexPlusOne == 0) continue;
    size_t i = hashCorner(cache.vertices[entry.vertexPlusOne - 1].corner) & mask;
    while (cache.slots[i].vertexPlusOne != 0) i = (i + 1) & mask;
    cache.slots[i] = entry;
  }
}

uint32_t findHashed(const VertexCache& cache, const CornerIndex& corner) {
  size_t mask = cache.slots.size() - 1;
  for (size_t i = hashCorner(corner) & mask;; i = (i + 1) & mask) {
    const VertexCache::Slot& slot = cache.slots[i];
    if (slot.vertexPlusOne == 0) return 0;
    if (slot.v_idx == corner.v_idx && cache.vertices[slot.vertexPlusOne - 1].corner == corner)
      return slot.vertexPlusOne;
  }
}

void insertHashed(VertexCache& cache, const CornerIndex& corner, uint32_t vertex) {
  if (cache.slots.empty()) cache.slots.resize(kInitialSlots);
  if ((cache.hashed + 1) * 2 > cache.slots.size()) rehash(cache, cache.slots.size() * 2);
  size_t mask = cache.slots.size() - 1;
  size_t i = hashCorner(corner) & mask;
  while (cache.slots[i].vertexPlusOne != 0) i = (i + 1) & mask;
  cache.slots[i] = {corner.v_idx, vertex + 1};
  ++cache.hashed;
}

}  // namespace

struct FaceGroup {
  bool hasFaces = false;     // a face of any corner count was added
  uint32_t firstVertex = 0;  // the shape's vertex count when the group's first face came
  VertexCache cache;
  PodArray<PendingCorner> pending;
};

namespace {

// Welds one corner into the group: returns its vertex number in the shape,
// creating a vertex on the first visit of the triple. byPosition covers
// the `positionCount` positions read so far. Sets `tooMany` instead of
// creating a vertex past `maxVertices`.
__attribute__((noinline)) uint32_t weldCorner(FaceGroup& group, const CornerIndex& corner, size_t positionCount, uint64_t line,
                           uint64_t maxVertices, bool& tooMany) {
  VertexCache& cache = group.cache;
  const bool dense = size_t(uint32_t(corner.v_idx)) < positionCount && corner.v_idx >= 0;
  uint32_t* link = nullptr;  // where a new vertex at the position is chained
  if (dense) {
    link = &cache.byPosition[size_t(corner.v_idx)];
    while (*link != 0) {
      VertexCache::Vertex& known = cache.vertices[*link - 1];
      if (known.corner.vt_idx == corner.vt_idx && known.corner.vn_idx == corner.vn_idx)
        return group.firstVertex + (*link - 1);
      link = &known.nextPlusOne;
    }
  }
  // A corner first met before its position was read sits in the hash.
  if (cache.hashed) {
    if (uint32_t k = findHashed(cache, corner)) return group.firstVertex + (k - 1);
  }

  const size_t local = cache.vertices.size();
  if (uint64_t(group.firstVertex) + local >= maxVertices) {
    tooMany = true;
    return 0;
  }
  if (dense) {
    *link = uint32_t(local + 1);  // before the push, which may move `vertices`
    cache.vertices.push_back({corner, 0});
  } else {
    cache.vertices.push_back({corner, 0});
    insertHashed(cache, corner, uint32_t(local));
    group.pending.push_back({uint32_t(local), line});
  }
  return group.firstVertex + uint32_t(local);
}

// Empties the group for the next one, keeping its memory when small.
void resetFaceGroup(FaceGroup& group) {
  VertexCache& cache = group.cache;
  for (const VertexCache::Vertex& vertex : cache.vertices)
    if (vertex.corner.v_idx >= 0 && size_t(vertex.corner.v_idx) < cache.byPosition.size())
      cache.byPosition[size_t(vertex.corner.v_idx)] = 0;
  if (cache.hashed) {
    // A large table left by an earlier group is dropped rather than cleared
    // again for each small group after it.
    if (cache.slots.size() > kKeptSlots && cache.slots.size() > 8 * cache.hashed)
      cache.slots.release();
    else
      std::memset(static_cast<void*>(cache.slots.data()), 0, cache.slots.size() * sizeof(VertexCache::Slot));
    cache.hashed = 0;
  }
  cache.vertices.clear();
  group.pending.clear();
  group.hasFaces = false;
}

}  // namespace

ShapeAssembler::ShapeAssembler(uint64_t maxShapeVertices, bool keepTexcoords)
    : group_(new FaceGroup), maxShapeVertices_(maxShapeVertices) {
  shapes_.hasTexcoords = keepTexcoords;
}
ShapeAssembler::~ShapeAssembler() = default;

bool ShapeAssembler::addFace(const CornerIndex* corners, size_t cornerCount, size_t positionCount, uint64_t line,
                             Failure& failure) {
  const FaceEntry face{cornerCount, 0};
  return addFaces(corners, 0, &face, 1, positionCount, line, failure);
}

bool ShapeAssembler::addFaces(const CornerIndex* corners, uint64_t cornerBegin, const FaceEntry* faces,
                              size_t faceCount, size_t positionCount, uint64_t lineBase, Failure& failure) {
  if (faceCount == 0) return true;
  FaceGroup& group = *group_;
  if (!group.hasFaces) {
    group.hasFaces = true;
    group.firstVertex = uint32_t(shapes_.positions.size() / 3 - shapeFirstVertex_);
  }
  // Grown geometrically: every face may bring a position of its own.
  PodArray<uint32_t>& byPosition = group.cache.byPosition;
  if (byPosition.size() < positionCount) byPosition.resize(std::max(positionCount, 2 * byPosition.size()));
  bool tooMany = false;
  uint64_t line = 0;
  // A corner at a position already read is found, or becomes a new vertex,
  // through byPosition here, with what that needs in locals. A corner that
  // may sit in the hash, or one past a full shape, takes weldCorner.
  const uint64_t denseLimit = std::min<uint64_t>(positionCount, uint64_t(INT32_MAX) + 1);
  const uint32_t firstVertex = group.firstVertex;
  VertexCache::Vertex* vertices = group.cache.vertices.data();
  uint32_t* const firstAtPosition = byPosition.data();
  VertexCache& cache = group.cache;
  auto weld = [&](const CornerIndex& corner) __attribute__((always_inline)) {
    if (uint32_t(corner.v_idx) < denseLimit) {
      uint32_t* link = &firstAtPosition[uint32_t(corner.v_idx)];
      while (*link != 0) {
        VertexCache::Vertex& known = vertices[*link - 1];
        if (known.corner.vt_idx == corner.vt_idx && known.corner.vn_idx == corner.vn_idx)
          return firstVertex + (*link - 1);
        link = &known.nextPlusOne;
      }
      // A new vertex, unless the corner sits in the hash or the shape is
      // full: weldCorner tells.
      const size_t local = cache.vertices.size();
      if (cache.hashed == 0 && uint64_t(firstVertex) + local < maxShapeVertices_) {
        *link = uint32_t(local + 1);  // before the push, which may move `vertices`
        cache.vertices.push_back({corner, 0});
        vertices = cache.vertices.data();
        return firstVertex + uint32_t(local);
      }
    }
    const uint32_t vertex = weldCorner(group, corner, positionCount, line, maxShapeVertices_, tooMany);
    vertices = cache.vertices.data();
    return vertex;
  };
  // A face of n corners has n - 2 triangles, so there are fewer triangles
  // than corners.
  shapes_.indices.reserveMore(3 * size_t(faces[faceCount - 1].cornerEnd - cornerBegin));
  uint32_t* out = shapes_.indices.end();
  for (size_t f = 0; f < faceCount; ++f) {
    const CornerIndex* face = corners + cornerBegin;
    const size_t cornerCount = size_t(faces[f].cornerEnd - cornerBegin);
    cornerBegin = faces[f].cornerEnd;
    line = lineBase + faces[f].line;
    if (cornerCount == 3) {
      const uint32_t a = weld(face[0]), b = weld(face[1]), c = weld(face[2]);
      out[0] = a;
      out[1] = b;
      out[2] = c;
      out += 3;
    } else if (cornerCount > 3) {
      // Corners are visited c0, c(k-1), c(k) per triangle: that order
      // numbers new vertices, so c0 and the previous corner are looked up
      // again rather than remembered.
      for (const CornerIndex *previous = face + 1, *last = face + cornerCount; previous + 1 != last; ++previous) {
        const uint32_t a = weld(face[0]), b = weld(previous[0]), c = weld(previous[1]);
        out[0] = a;
        out[1] = b;
        out[2] = c;
        out += 3;
      }
    }
    if (tooMany) {
      shapes_.indices.setEnd(out);
      failure.line = line;
      failure.reason = "a shape has more vertices than 32-bit vertex numbers can count";
      return false;
    }
  }
  shapes_.indices.setEnd(out);
  return true;
}

bool ShapeAssembler::flushFaceGroup(const Attributes& in, int32_t material, Failure& failure) {
  FaceGroup& group = *group_;
  if (!group.hasFaces) return true;
  const VertexCache::Vertex* vertices = group.cache.vertices.data();
  const size_t positionCount = in.positionCount;
  for (const PendingCorner& p : group.pending) {
    int32_t v = vertices[p.vertex].corner.v_idx;
    if (v < 0 || size_t(v) >= positionCount) {
      failure.line = p.line;
      failure.reason = v < 0 ? "face corner names a vertex before the first one (relative index too far back)"
                             : "face corner names vertex " + std::to_string(int64_t(v) + 1) + ", but only " +
                                   std::to_string(positionCount) + (positionCount == 1 ? " is" : " are") + " defined";
      return false;
    }
  }

  const size_t n = group.cache.vertices.size();
  const size_t firstVertex = shapes_.positions.size() / 3;
  float* __restrict pos = shapes_.positions.extend(3 * n);
  const float* __restrict src = in.positions;
  size_t withNormal = 0;
  const size_t normalCount = in.normalCount;
  for (size_t i = 0; i < n; ++i) {
    const CornerIndex& c = vertices[i].corner;
    const float* p = src + 3 * size_t(c.v_idx);
    pos[0] = p[0];
    pos[1] = p[1];
    pos[2] = p[2];
    pos += 3;
    withNormal += c.vn_idx >= 0 && size_t(c.vn_idx) < normalCount;
  }
  if (withNormal) {
    float* __restrict out = shapes_.normals.extend(3 * withNormal);
    for (size_t i = 0; i < n; ++i) {
      int32_t vn = vertices[i].corner.vn_idx;
      if (vn < 0 || size_t(vn) >= normalCount) {
        noNormal(firstVertex + i, firstVertex + i + 1);
        continue;
      }
      const float* p = in.normals + 3 * size_t(vn);
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      out += 3;
    }
  } else {
    noNormal(firstVertex, firstVertex + n);
  }
  if (shapes_.hasTexcoords) {
    float* __restrict out = shapes_.texcoords.extend(2 * n);
    for (size_t i = 0; i < n; ++i, out += 2) {
      int32_t vt = vertices[i].corner.vt_idx;
      const bool named = vt >= 0 && size_t(vt) < in.texcoordCount;
      out[0] = named ? in.texcoords[2 * size_t(vt)] : 0.0f;
      out[1] = named ? in.texcoords[2 * size_t(vt) + 1] : 0.0f;
    }
  }
  const size_t indexEnd = shapes_.indices.size();
  PodArray<ObjShapes::Group>& groups = shapes_.groups;
  const size_t groupBegin = groups.empty() ? 0 : groups.back().indexEnd;
  if (indexEnd != groupBegin) {
    // A group that follows one of the same shape and material continues its
    // run (a switch away and back with no face between).
    if (!groups.empty() && groups.back().material == material && groupBegin > shapeFirstIndex_)
      groups.back().indexEnd = indexEnd;
    else
      groups.push_back({indexEnd, material});
  }
  shapeHasFaces_ = true;
  resetFaceGroup(group);
  return true;
}

void ShapeAssembler::noNormal(size_t begin, size_t end) {
  PodArray<ObjShapes::Range>& runs = shapes_.withoutNormal;
  if (!runs.empty() && runs.back().end == begin)
    runs.back().end = end;
  else if (begin != end)
    runs.push_back({begin, end});
}

bool ShapeAssembler::endShape(std::string_view name, const Attributes& in, int32_t material, Failure& failure) {
  if (!flushFaceGroup(in, material, failure)) return false;
  if (shapeHasFaces_) {
    shapes_.names.append(name);
    shapes_.shapes.push_back({shapes_.names.size(), shapes_.positions.size() / 3, shapes_.normals.size() / 3,
                              shapes_.indices.size()});
    shapeFirstVertex_ = shapes_.positions.size() / 3;
    shapeFirstIndex_ = shapes_.indices.size();
    shapeHasFaces_ = false;
  }
  return true;
}

}  // namespace obj2mesh
