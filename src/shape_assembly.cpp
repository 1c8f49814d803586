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
    size_t i = hashCorner(cache.corners[entry.vertexPlusOne - 1]) & mask;
    while (cache.slots[i].vertexPlusOne != 0) i = (i + 1) & mask;
    cache.slots[i] = entry;
  }
}

uint32_t findHashed(const VertexCache& cache, const CornerIndex& corner) {
  size_t mask = cache.slots.size() - 1;
  for (size_t i = hashCorner(corner) & mask;; i = (i + 1) & mask) {
    const VertexCache::Slot& slot = cache.slots[i];
    if (slot.vertexPlusOne == 0) return 0;
    if (slot.v_idx == corner.v_idx && cache.corners[slot.vertexPlusOne - 1] == corner) return slot.vertexPlusOne;
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
// creating a vertex on the first visit of the triple.
inline uint32_t weldCorner(FaceGroup& group, const CornerIndex& corner, size_t positionCount,
                           uint64_t line, uint64_t maxVertices, bool& tooMany) {
  VertexCache& cache = group.cache;
  constexpr uint32_t kHead = UINT32_MAX;
  bool dense = corner.v_idx >= 0 && size_t(corner.v_idx) < positionCount;
  uint32_t tail = kHead;  // the chain's last vertex, or kHead for an empty chain
  if (dense) {
    size_t v = size_t(corner.v_idx);
    // Grown geometrically: every face may bring a vertex of its own.
    if (v >= cache.byPosition.size()) cache.byPosition.resize(std::max(positionCount, 2 * cache.byPosition.size()));
    for (uint32_t k = cache.byPosition[v]; k != 0; k = cache.samePosition[k - 1]) {
      const CornerIndex& known = cache.corners[k - 1];
      if (known.vt_idx == corner.vt_idx && known.vn_idx == corner.vn_idx) return group.firstVertex + (k - 1);
      tail = k - 1;
    }
  }
  // A corner first met before its position was read sits in the hash.
  if (cache.hashed) {
    if (uint32_t k = findHashed(cache, corner)) return group.firstVertex + (k - 1);
  }

  size_t local = cache.corners.size();
  if (uint64_t(group.firstVertex) + local >= maxVertices) {
    tooMany = true;
    return 0;
  }
  cache.corners.push_back(corner);
  cache.samePosition.push_back(0);
  if (dense) {
    (tail == kHead ? cache.byPosition[size_t(corner.v_idx)] : cache.samePosition[tail]) = uint32_t(local + 1);
  } else {
    insertHashed(cache, corner, uint32_t(local));
    group.pending.push_back({uint32_t(local), line});
  }
  return group.firstVertex + uint32_t(local);
}

// Empties the group for the next one, keeping its memory when small.
void resetFaceGroup(FaceGroup& group) {
  VertexCache& cache = group.cache;
  for (const CornerIndex& c : cache.corners)
    if (c.v_idx >= 0 && size_t(c.v_idx) < cache.byPosition.size()) cache.byPosition[size_t(c.v_idx)] = 0;
  if (cache.hashed) {
    // A large table left by an earlier group is dropped rather than cleared
    // again for each small group after it.
    if (cache.slots.size() > kKeptSlots && cache.slots.size() > 8 * cache.hashed)
      cache.slots.release();
    else
      std::memset(static_cast<void*>(cache.slots.data()), 0, cache.slots.size() * sizeof(VertexCache::Slot));
    cache.hashed = 0;
  }
  cache.corners.clear();
  cache.samePosition.clear();
  group.pending.clear();
  group.hasFaces = false;
}

}  // namespace

ShapeAssembler::ShapeAssembler(uint64_t maxShapeVertices)
    : group_(new FaceGroup), maxShapeVertices_(maxShapeVertices) {}
ShapeAssembler::~ShapeAssembler() = default;

bool ShapeAssembler::addFace(const CornerIndex* corners, size_t cornerCount, size_t positionCount, uint64_t line,
                             Failure& failure) {
  FaceGroup& group = *group_;
  if (!group.hasFaces) {
    group.hasFaces = true;
    group.firstVertex = uint32_t(shapes_.positions.size() / 3 - shapeFirstVertex_);
  }
  if (cornerCount < 3) return true;
  size_t triangles = cornerCount - 2;
  uint32_t* out = shapes_.indices.extend(3 * triangles);
  bool tooMany = false;
  // Corners are visited c0, c(k-1), c(k) per triangle: that order numbers
  // new vertices, so c0 and the previous corner are looked up again rather
  // than remembered.
  for (size_t k = 2; k < cornerCount; ++k) {
    *out++ = weldCorner(group, corners[0], positionCount, line, maxShapeVertices_, tooMany);
    *out++ = weldCorner(group, corners[k - 1], positionCount, line, maxShapeVertices_, tooMany);
    *out++ = weldCorner(group, corners[k], positionCount, line, maxShapeVertices_, tooMany);
    if (tooMany) {
      failure.line = line;
      failure.reason = "a shape has more vertices than 32-bit vertex numbers can count";
      return false;
    }
  }
  return true;
}

bool ShapeAssembler::flushFaceGroup(const Attributes& in, Failure& failure) {
  FaceGroup& group = *group_;
  if (!group.hasFaces) return true;
  const PodArray<CornerIndex>& corners = group.cache.corners;
  const size_t positionCount = in.positionCount;
  for (const PendingCorner& p : group.pending) {
    int32_t v = corners[p.vertex].v_idx;
    if (v < 0 || size_t(v) >= positionCount) {
      failure.line = p.line;
      failure.reason = v < 0 ? "face corner names a vertex before the first one (relative index too far back)"
                             : "face corner names vertex " + std::to_string(int64_t(v) + 1) + ", but only " +
                                   std::to_string(positionCount) + " are defined";
      return false;
    }
  }

  size_t n = corners.size();
  float* pos = shapes_.positions.extend(3 * n);
  const float* src = in.positions;
  size_t withNormal = 0;
  const size_t normalCount = in.normalCount;
  for (size_t i = 0; i < n; ++i) {
    const CornerIndex& c = corners[i];
    const float* p = src + 3 * size_t(c.v_idx);
    pos[0] = p[0];
    pos[1] = p[1];
    pos[2] = p[2];
    pos += 3;
    withNormal += c.vn_idx >= 0 && size_t(c.vn_idx) < normalCount;
  }
  if (withNormal) {
    float* out = shapes_.normals.extend(3 * withNormal);
    for (size_t i = 0; i < n; ++i) {
      int32_t vn = corners[i].vn_idx;
      if (vn < 0 || size_t(vn) >= normalCount) continue;
      const float* p = in.normals + 3 * size_t(vn);
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      out += 3;
    }
  }
  shapeHasFaces_ = true;
  resetFaceGroup(group);
  return true;
}

bool ShapeAssembler::endShape(std::string_view name, const Attributes& in, Failure& failure) {
  if (!flushFaceGroup(in, failure)) return false;
  if (shapeHasFaces_) {
    shapes_.names.append(name);
    shapes_.shapes.push_back({shapes_.names.size(), shapes_.positions.size() / 3, shapes_.normals.size() / 3,
                              shapes_.indices.size()});
    shapeFirstVertex_ = shapes_.positions.size() / 3;
    shapeHasFaces_ = false;
  }
  return true;
}

}  // namespace obj2mesh
