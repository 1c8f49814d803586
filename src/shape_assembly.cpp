#include "shape_assembly.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace obj2mesh {
namespace {

constexpr size_t kInitialSlots = 64;
constexpr size_t kKeptSlots = 4096;

// A corner's texture and normal index as one value: welding compares them
// together.
inline uint64_t attributeKey(const CornerIndex& c) {
  return uint64_t(uint32_t(c.vt_idx)) | (uint64_t(uint32_t(c.vn_idx)) << 32);
}
inline int32_t texcoordOf(uint64_t key) { return int32_t(uint32_t(key)); }
inline int32_t normalOf(uint64_t key) { return int32_t(uint32_t(key >> 32)); }

// Maps a corner triple to the vertex it became within one face group.
// Corners are found through their position index: faces mostly name nearby
// positions, so a table indexed by position keeps lookups in cache where a
// hash of the triple would scatter them. Corners of one position that
// differ in texture or normal index are chained. Position indices that name
// no vertex yet (forward or broken references) go to a small hash table.
//
// The group's vertices are numbered in creation order from 1, so that 0
// can mark "none"; each list has an unused element 0.
struct VertexCache {
  struct Slot {
    int32_t v_idx;
    uint32_t vertex;  // 0 marks an empty slot
  };
  PodArray<uint32_t> byPosition;  // the group's first vertex at that position, or 0
  PodArray<uint64_t> keys;        // per vertex, attributeKey of its corner
  PodArray<int32_t> positionOf;   // per vertex, its position index
  PodArray<uint32_t> next;        // per vertex, the next one at the same position, or 0
  size_t count = 0;               // vertices
  PodArray<Slot> slots;           // open addressing, linear probing
  size_t hashed = 0;              // corners held in `slots`

  // Room for `more` vertices past `count`, written through raw pointers
  // (the lists' sizes are not kept).
  void reserveMore(size_t more) {
    keys.clear();
    positionOf.clear();
    next.clear();
    keys.reserveMore(count + 1 + more);
    positionOf.reserveMore(count + 1 + more);
    next.reserveMore(count + 1 + more);
  }
};

// A corner whose position index named no vertex when its face was read.
// Vertices may still be defined before the group is flushed, so the check
// waits for the flush; the line is kept for the message.
struct PendingCorner {
  uint32_t vertex;  // in VertexCache numbering
  uint64_t line;
};

inline size_t hashCorner(int32_t v, uint64_t key) {
  uint64_t k = uint64_t(uint32_t(v)) | (uint64_t(uint32_t(texcoordOf(key))) << 32);
  k ^= uint64_t(uint32_t(normalOf(key))) * 0x9E3779B97F4A7C15ull;
  k *= 0xFF51AFD7ED558CCDull;
  return size_t(k ^ (k >> 32));
}

// Hash table of the corners whose position index lay outside byPosition.
void rehash(VertexCache& cache, size_t slotCount) {
  PodArray<VertexCache::Slot> old = std::move(cache.slots);
  cache.slots.resize(slotCount);
  size_t mask = slotCount - 1;
  for (const VertexCache::Slot& entry : old) {
    if (entry.vertex == 0) continue;
    size_t i = hashCorner(entry.v_idx, cache.keys[entry.vertex]) & mask;
    while (cache.slots[i].vertex != 0) i = (i + 1) & mask;
    cache.slots[i] = entry;
  }
}

uint32_t findHashed(const VertexCache& cache, int32_t v, uint64_t key) {
  size_t mask = cache.slots.size() - 1;
  for (size_t i = hashCorner(v, key) & mask;; i = (i + 1) & mask) {
    const VertexCache::Slot& slot = cache.slots[i];
    if (slot.vertex == 0) return 0;
    if (slot.v_idx == v && cache.keys[slot.vertex] == key) return slot.vertex;
  }
}

void insertHashed(VertexCache& cache, int32_t v, uint64_t key, uint32_t vertex) {
  if (cache.slots.empty()) cache.slots.resize(kInitialSlots);
  if ((cache.hashed + 1) * 2 > cache.slots.size()) rehash(cache, cache.slots.size() * 2);
  size_t mask = cache.slots.size() - 1;
  size_t i = hashCorner(v, key) & mask;
  while (cache.slots[i].vertex != 0) i = (i + 1) & mask;
  cache.slots[i] = {v, vertex};
  ++cache.hashed;
}

}  // namespace

struct FaceGroup {
  bool hasFaces = false;     // a face of any corner count was added
  bool flushed = false;      // the lists still hold a flushed group, to be emptied before the next
  uint32_t firstVertex = 0;  // the shape's vertex count when the group's first face came
  VertexCache cache;
  PodArray<PendingCorner> pending;
};

namespace {

// Where a batch of faces came from, for the rare corner that needs its
// line.
struct FaceSource {
  const CornerIndex* corners;
  const FaceEntry* faces;
  size_t faceCount;
  uint64_t lineBase;
  // The line of the face that holds `corner`.
  uint64_t lineOf(const CornerIndex& corner) const {
    const uint64_t at = uint64_t(&corner - corners);
    return lineBase + std::upper_bound(faces, faces + faceCount, at, [](uint64_t i, const FaceEntry& face) {
                        return i < face.cornerEnd;
                      })->line;
  }
};

// Welds a corner that the quick look-up in byPosition did not find:
// returns its vertex (VertexCache numbering), creating it when new, for
// which room was reserved. Corners past `denseLimit` (byPosition covers the
// positions read so far) go to the hash table. With `room`, sets `tooMany`
// instead of creating a vertex past it.
__attribute__((noinline)) uint32_t weldMiss(FaceGroup& group, const CornerIndex& corner, uint64_t denseLimit,
                                            const FaceSource& source, uint64_t room, bool& tooMany) {
  VertexCache& cache = group.cache;
  const uint64_t key = attributeKey(corner);
  const int32_t v = corner.v_idx;
  const bool dense = uint32_t(v) < denseLimit;
  uint32_t* link = nullptr;  // where a new vertex at the position is chained
  if (dense) {
    link = &cache.byPosition[uint32_t(v)];
    for (uint32_t k = *link; k != 0; k = *link) {
      if (cache.keys[k] == key) return k;
      link = &cache.next[k];
    }
  }
  // A corner first met before its position was read sits in the hash.
  if (cache.hashed) {
    if (uint32_t k = findHashed(cache, v, key)) return k;
  }
  if (cache.count >= room) {
    tooMany = true;
    return 0;
  }
  const uint32_t vertex = uint32_t(++cache.count);
  cache.keys[vertex] = key;
  cache.positionOf[vertex] = v;
  cache.next[vertex] = 0;
  if (dense) {
    *link = vertex;
  } else {
    insertHashed(cache, v, key, vertex);
    group.pending.push_back({vertex, source.lineOf(corner)});
  }
  return vertex;
}

// Empties the group's lists for the next group, keeping their memory when
// small.
void resetFaceGroup(FaceGroup& group) {
  VertexCache& cache = group.cache;
  uint32_t* const byPosition = cache.byPosition.data();
  const int32_t* const positionOf = cache.positionOf.data();
  const size_t covered = cache.byPosition.size();
  for (size_t k = 1; k <= cache.count; ++k)
    if (size_t(uint32_t(positionOf[k])) < covered) byPosition[uint32_t(positionOf[k])] = 0;
  if (cache.hashed) {
    // A large table left by an earlier group is dropped rather than cleared
    // again for each small group after it.
    if (cache.slots.size() > kKeptSlots && cache.slots.size() > 8 * cache.hashed)
      cache.slots.release();
    else
      std::memset(static_cast<void*>(cache.slots.data()), 0, cache.slots.size() * sizeof(VertexCache::Slot));
    cache.hashed = 0;
  }
  cache.count = 0;
  group.pending.clear();
  group.flushed = false;
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

// The face loop of addFaces. With kLimited, the faces may bring more
// vertices than the shape can number, so each new vertex is checked.
template <bool kLimited>
bool ShapeAssembler::weldFaces(const CornerIndex* corners, uint64_t cornerBegin, const FaceEntry* faces,
                               size_t faceCount, size_t positionCount, uint64_t lineBase, Failure& failure) {
  FaceGroup& group = *group_;
  VertexCache& cache = group.cache;
  const FaceSource source{corners, faces, faceCount, lineBase};
  // The common corners, one whose position was read and whose first vertex
  // matches it, and the first at a position (when no corner of an earlier
  // batch sits in the hash, where it might be), are welded here; the rest
  // takes weldMiss.
  const uint64_t denseLimit = std::min<uint64_t>(positionCount, uint64_t(INT32_MAX) + 1);
  const bool plainNew = !kLimited && cache.hashed == 0;
  const uint32_t base = group.firstVertex - 1;  // the shape's number of vertex 0
  uint32_t* const firstAtPosition = cache.byPosition.data();
  uint64_t* const keys = cache.keys.data();
  const uint64_t room = kLimited ? maxShapeVertices_ - group.firstVertex : UINT64_MAX;
  bool tooMany = false;
  auto weld = [&](const CornerIndex& corner) __attribute__((always_inline)) {
    const uint64_t key = attributeKey(corner);
    const uint32_t v = uint32_t(corner.v_idx);
    if (__builtin_expect(v < denseLimit, 1)) {
      size_t k = firstAtPosition[v];
      if (__builtin_expect(k != 0 && keys[k] == key, 1)) return base + uint32_t(k);
      if (plainNew) {
        uint32_t* link = &firstAtPosition[v];
        while (k != 0) {
          if (keys[k] == key) return base + uint32_t(k);
          link = &cache.next.data()[k];
          k = *link;
        }
        const uint32_t vertex = uint32_t(++cache.count);
        keys[vertex] = key;
        cache.positionOf.data()[vertex] = int32_t(v);
        cache.next.data()[vertex] = 0;
        *link = vertex;
        return base + vertex;
      }
    }
    return base + weldMiss(group, corner, denseLimit, source, room, tooMany);
  };
  uint32_t* __restrict out = shapes_.indices.end();
  const CornerIndex* c = corners + cornerBegin;
  for (const FaceEntry *face = faces, *const end = faces + faceCount; face != end; ++face) {
    if (!kLimited) {
      // A run of triangles, welded corner after corner. It is found four
      // faces at a time, as far as that goes, for fewer loop steps.
      const FaceEntry* runEnd = face;
      uint64_t runCorners = cornerBegin;
      while (end - runEnd >= 4 && runEnd[0].cornerEnd == runCorners + 3 && runEnd[1].cornerEnd == runCorners + 6 &&
             runEnd[2].cornerEnd == runCorners + 9 && runEnd[3].cornerEnd == runCorners + 12) {
        runCorners += 12;
        runEnd += 4;
      }
      while (runEnd != end && runEnd->cornerEnd == runCorners + 3) {
        runCorners += 3;
        ++runEnd;
      }
      for (const CornerIndex* const stop = corners + runCorners; c != stop; c += 3, out += 3) {
        out[0] = weld(c[0]);
        out[1] = weld(c[1]);
        out[2] = weld(c[2]);
      }
      face = runEnd;
      cornerBegin = runCorners;
      if (face == end) break;
    }
    // A face fans out from its first corner: triangles c0, c(k-1), c(k).
    // Each corner is welded once, in that order of first visit.
    const size_t cornerCount = size_t(face->cornerEnd - cornerBegin);
    cornerBegin = face->cornerEnd;
    if (cornerCount == 4) {
      // Quads, common in exported models, without the loop.
      const uint32_t a = weld(c[0]), b = weld(c[1]), d = weld(c[2]), e = weld(c[3]);
      out[0] = a;
      out[1] = b;
      out[2] = d;
      out[3] = a;
      out[4] = d;
      out[5] = e;
      out += 6;
    } else if (cornerCount >= 3) {
      const uint32_t first = weld(c[0]);
      uint32_t previous = weld(c[1]);
      for (size_t k = 2; k < cornerCount; ++k, out += 3) {
        const uint32_t current = weld(c[k]);
        out[0] = first;
        out[1] = previous;
        out[2] = current;
        previous = current;
      }
    }
    c += cornerCount;
    if (kLimited && tooMany) {
      shapes_.indices.setEnd(out);
      failure.line = lineBase + face->line;
      failure.reason = "a shape has more vertices than 32-bit vertex numbers can count";
      return false;
    }
  }
  shapes_.indices.setEnd(out);
  return true;
}

bool ShapeAssembler::addFaces(const CornerIndex* corners, uint64_t cornerBegin, const FaceEntry* faces,
                              size_t faceCount, size_t positionCount, uint64_t lineBase, Failure& failure) {
  if (faceCount == 0) return true;
  FaceGroup& group = *group_;
  if (!group.hasFaces) {
    if (group.flushed) resetFaceGroup(group);
    group.hasFaces = true;
    group.firstVertex = uint32_t(shapes_.positions.size() / 3 - shapeFirstVertex_);
  }
  // Grown geometrically: every face may bring a position of its own.
  PodArray<uint32_t>& byPosition = group.cache.byPosition;
  if (byPosition.size() < positionCount) byPosition.resize(std::max(positionCount, 2 * byPosition.size()));
  // Each corner brings at most one vertex, and each triangle of a face of n
  // corners (n - 2 of them) three indices.
  const uint64_t cornerCount = faces[faceCount - 1].cornerEnd - cornerBegin;
  group.cache.reserveMore(size_t(cornerCount));
  shapes_.indices.reserveMore(3 * size_t(cornerCount));
  if (uint64_t(group.firstVertex) + group.cache.count + cornerCount <= maxShapeVertices_)
    return weldFaces<false>(corners, cornerBegin, faces, faceCount, positionCount, lineBase, failure);
  return weldFaces<true>(corners, cornerBegin, faces, faceCount, positionCount, lineBase, failure);
}

bool ShapeAssembler::flushFaceGroup(const Attributes& in, int32_t material, Failure& failure) {
  FaceGroup& group = *group_;
  if (!group.hasFaces) return true;
  const VertexCache& cache = group.cache;
  const int32_t* const positionOf = cache.positionOf.data();
  const uint64_t* const keys = cache.keys.data();
  const size_t positionCount = in.positionCount;
  for (const PendingCorner& p : group.pending) {
    int32_t v = positionOf[p.vertex];
    if (v < 0 || size_t(v) >= positionCount) {
      failure.line = p.line;
      failure.reason = v < 0 ? "face corner names a vertex before the first one (relative index too far back)"
                             : "face corner names vertex " + std::to_string(int64_t(v) + 1) + ", but only " +
                                   std::to_string(positionCount) + (positionCount == 1 ? " is" : " are") + " defined";
      return false;
    }
  }

  const size_t n = cache.count;
  const size_t firstVertex = shapes_.positions.size() / 3;
  float* __restrict pos = shapes_.positions.extend(3 * n);
  const float* __restrict src = in.positions;
  // Indices are compared unsigned, so negative ones name nothing.
  const size_t normalCount = std::min<size_t>(in.normalCount, size_t(INT32_MAX) + 1);
  size_t withNormal = 0;
  // Values are copied 12 bytes at a time: two moves rather than three.
  if (normalCount) {
    for (size_t k = 1; k <= n; ++k, pos += 3) {
      std::memcpy(pos, src + 3 * size_t(positionOf[k]), 3 * sizeof(float));
      withNormal += size_t(uint32_t(normalOf(keys[k]))) < normalCount;
    }
  } else {
    for (size_t k = 1; k <= n; ++k, pos += 3) {
      std::memcpy(pos, src + 3 * size_t(positionOf[k]), 3 * sizeof(float));
    }
  }
  if (withNormal == n && n) {
    float* __restrict out = shapes_.normals.extend(3 * n);
    for (size_t k = 1; k <= n; ++k, out += 3) {
      std::memcpy(out, in.normals + 3 * size_t(uint32_t(normalOf(keys[k]))), 3 * sizeof(float));
    }
  } else if (withNormal) {
    float* __restrict out = shapes_.normals.extend(3 * withNormal);
    for (size_t k = 1; k <= n; ++k) {
      const uint32_t vn = uint32_t(normalOf(keys[k]));
      if (vn >= normalCount) {
        noNormal(firstVertex + k - 1, firstVertex + k);
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
    const size_t texcoordCount = std::min<size_t>(in.texcoordCount, size_t(INT32_MAX) + 1);
    for (size_t k = 1; k <= n; ++k, out += 2) {
      const uint32_t vt = uint32_t(texcoordOf(keys[k]));
      const bool named = vt < texcoordCount;
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
  // The lists are emptied when the next group begins, so the last group
  // of the input never pays for it.
  group.hasFaces = false;
  group.flushed = true;
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
