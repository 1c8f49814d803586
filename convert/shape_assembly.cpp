#include "shape_assembly.h"

#include <cstring>

namespace {

constexpr size_t kInitialSlots = 64;
constexpr size_t kKeptSlots = 4096;

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

ShapeStorage::~ShapeStorage() {
  for (ArrayZone* zone : {&positions, &normals, &texcoords, &indices, &materialIds}) releaseZone(*zone);
}

std::shared_ptr<ShapeStorage> makeShapeStorage(uint64_t inputBytes) {
  // Small inputs gain nothing from zones but their setup.
  constexpr uint64_t kSmall = uint64_t(4) << 20;
  if (inputBytes && inputBytes < kSmall) return nullptr;
  // A list can outgrow its zone (it then moves to memory of its own), so
  // the size only has to be generous: no list takes much more than 6 bytes
  // per byte of input. The space is only reserved, never committed.
  constexpr uint64_t kUnknown = uint64_t(16) << 30, kMax = uint64_t(64) << 30;
  uint64_t bytes = inputBytes ? inputBytes * 8 + (uint64_t(64) << 20) : kUnknown;
  if (bytes > kMax) bytes = kMax;
  auto storage = std::make_shared<ShapeStorage>();
  for (ArrayZone* zone : {&storage->positions, &storage->normals, &storage->texcoords, &storage->indices,
                          &storage->materialIds})
    if (!reserveZone(*zone, size_t(bytes))) return nullptr;
  return storage;
}

void openShape(ObjShape& shape, const std::shared_ptr<ShapeStorage>& storage) {
  shape.storage = storage;
  if (!storage) return;
  openInZone(shape.positions, storage->positions);
  openInZone(shape.normals, storage->normals);
  openInZone(shape.texcoords, storage->texcoords);
  openInZone(shape.indices, storage->indices);
  openInZone(shape.materialIds, storage->materialIds);
}

void closeShape(ObjShape& shape) {
  if (!shape.storage) return;
  closeInZone(shape.positions, shape.storage->positions);
  closeInZone(shape.normals, shape.storage->normals);
  closeInZone(shape.texcoords, shape.storage->texcoords);
  closeInZone(shape.indices, shape.storage->indices);
  closeInZone(shape.materialIds, shape.storage->materialIds);
}

uint32_t weldCorner(VertexCache& cache, FaceGroup& group, const CornerIndex& corner,
                    size_t positionCount, uint64_t line, AssemblyFailure& failure) {
  constexpr uint32_t kHead = UINT32_MAX;
  bool dense = corner.v_idx >= 0 && size_t(corner.v_idx) < positionCount;
  uint32_t tail = kHead;  // the chain's last vertex, or kHead for an empty chain
  if (dense) {
    size_t v = size_t(corner.v_idx);
    if (v >= cache.byPosition.size()) cache.byPosition.resize(positionCount);
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
  if (uint64_t(group.firstVertex) + local > UINT32_MAX) {
    failure.error = AssemblyError::TooManyVertices;
    failure.line = line;
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

bool addFace(ObjShape& shape, FaceGroup& group, const CornerIndex* corners, size_t cornerCount,
             size_t positionCount, uint64_t line, AssemblyFailure& failure) {
  if (!group.hasFaces) {
    group.hasFaces = true;
    group.firstVertex = uint32_t(shape.vertexCount());
  }
  if (cornerCount < 3) return true;
  size_t triangles = cornerCount - 2;
  uint32_t* out = shape.indices.extend(3 * triangles);
  int32_t* ids = group.recordMaterialIds ? shape.materialIds.extend(triangles) : nullptr;
  VertexCache& cache = group.cache;
  // Corners are visited c0, c(k-1), c(k) per triangle: that order numbers
  // new vertices, so c0 and the previous corner are looked up again rather
  // than remembered.
  for (size_t k = 2; k < cornerCount; ++k) {
    *out++ = weldCorner(cache, group, corners[0], positionCount, line, failure);
    *out++ = weldCorner(cache, group, corners[k - 1], positionCount, line, failure);
    *out++ = weldCorner(cache, group, corners[k], positionCount, line, failure);
    if (ids) *ids++ = group.materialId;
    if (failure.error != AssemblyError::None) return false;
  }
  return true;
}

bool flushFaceGroup(ObjShape& shape, FaceGroup& group, const PodArray<float>& in_positions,
                    const PodArray<float>& in_normals, const PodArray<float>& in_texcoords,
                    const std::string& name, AssemblyFailure& failure) {
  if (!group.hasFaces) return false;
  const PodArray<CornerIndex>& corners = group.cache.corners;
  size_t positionCount = in_positions.size() / 3;
  for (const PendingCorner& p : group.pending) {
    int32_t v = corners[p.vertex].v_idx;
    if (v < 0 || size_t(v) >= positionCount) {
      failure.error = AssemblyError::BadVertexIndex;
      failure.line = p.line;
      failure.vertexIndex = v;
      failure.vertexCount = positionCount;
      return true;
    }
  }

  size_t n = corners.size();
  float* pos = shape.positions.extend(3 * n);
  const float* src = in_positions.data();
  size_t withNormal = 0, withTexcoord = 0;
  size_t normalCount = in_normals.size() / 3, texcoordCount = in_texcoords.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    const CornerIndex& c = corners[i];
    const float* p = src + 3 * size_t(c.v_idx);
    pos[0] = p[0];
    pos[1] = p[1];
    pos[2] = p[2];
    pos += 3;
    withNormal += c.vn_idx >= 0 && size_t(c.vn_idx) < normalCount;
    withTexcoord += c.vt_idx >= 0 && size_t(c.vt_idx) < texcoordCount;
  }
  if (withNormal) {
    float* out = shape.normals.extend(3 * withNormal);
    for (size_t i = 0; i < n; ++i) {
      int32_t vn = corners[i].vn_idx;
      if (vn < 0 || size_t(vn) >= normalCount) continue;
      const float* p = in_normals.data() + 3 * size_t(vn);
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      out += 3;
    }
  }
  if (withTexcoord) {
    float* out = shape.texcoords.extend(2 * withTexcoord);
    for (size_t i = 0; i < n; ++i) {
      int32_t vt = corners[i].vt_idx;
      if (vt < 0 || size_t(vt) >= texcoordCount) continue;
      const float* p = in_texcoords.data() + 2 * size_t(vt);
      out[0] = p[0];
      out[1] = p[1];
      out += 2;
    }
  }
  shape.name = name;
  resetFaceGroup(group);
  return true;
}

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
