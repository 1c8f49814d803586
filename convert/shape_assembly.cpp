#include "shape_assembly.h"

namespace {

constexpr size_t kInitialSlots = 64;
// Tables above this are released rather than cleared between groups, so a
// file of many small groups after one large one does not clear the large
// table again and again.
constexpr size_t kKeptSlots = 4096;

inline size_t hashCorner(const CornerIndex& c) {
  uint64_t k = uint64_t(uint32_t(c.v_idx)) | (uint64_t(uint32_t(c.vt_idx)) << 32);
  k ^= uint64_t(uint32_t(c.vn_idx)) * 0x9E3779B97F4A7C15ull;
  k *= 0xFF51AFD7ED558CCDull;
  return size_t(k ^ (k >> 32));
}

void rehash(VertexCache& cache, size_t slotCount) {
  cache.slots.release();
  cache.slots.resize(slotCount);
  size_t mask = slotCount - 1;
  for (uint32_t v = 0; v < cache.corners.size(); ++v) {
    size_t i = hashCorner(cache.corners[v]) & mask;
    while (cache.slots[i].vertexPlusOne != 0) i = (i + 1) & mask;
    cache.slots[i] = {cache.corners[v].v_idx, v + 1};
  }
}

}  // namespace

uint32_t weldCorner(VertexCache& cache, FaceGroup& group, const CornerIndex& corner,
                    size_t positionCount, uint64_t line, AssemblyFailure& failure) {
  if (cache.slots.empty()) cache.slots.resize(kInitialSlots);
  size_t mask = cache.slots.size() - 1;
  size_t i = hashCorner(corner) & mask;
  for (;;) {
    const VertexCache::Slot& slot = cache.slots[i];
    if (slot.vertexPlusOne == 0) break;
    if (slot.v_idx == corner.v_idx) {
      const CornerIndex& known = cache.corners[slot.vertexPlusOne - 1];
      if (known.vt_idx == corner.vt_idx && known.vn_idx == corner.vn_idx)
        return group.firstVertex + (slot.vertexPlusOne - 1);
    }
    i = (i + 1) & mask;
  }

  size_t local = cache.corners.size();
  if (uint64_t(group.firstVertex) + local > UINT32_MAX) {
    failure.error = AssemblyError::TooManyVertices;
    failure.line = line;
    return 0;
  }
  cache.corners.push_back(corner);
  cache.slots[i] = {corner.v_idx, uint32_t(local + 1)};
  if (corner.v_idx < 0 || size_t(corner.v_idx) >= positionCount)
    group.pending.push_back({uint32_t(local), line});
  if (cache.corners.size() * 2 > cache.slots.size()) rehash(cache, cache.slots.size() * 2);
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
  int32_t* ids = shape.materialIds.extend(triangles);
  VertexCache& cache = group.cache;
  // Corners are visited c0, c(k-1), c(k) per triangle: that order numbers
  // new vertices, so c0 and the previous corner are looked up again rather
  // than remembered.
  for (size_t k = 2; k < cornerCount; ++k) {
    *out++ = weldCorner(cache, group, corners[0], positionCount, line, failure);
    *out++ = weldCorner(cache, group, corners[k - 1], positionCount, line, failure);
    *out++ = weldCorner(cache, group, corners[k], positionCount, line, failure);
    *ids++ = group.materialId;
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
  group.hasFaces = false;
  group.cache.corners.clear();
  group.pending.clear();
  if (group.cache.slots.size() > kKeptSlots) {
    group.cache.slots.release();
    group.cache.corners.release();
  } else {
    group.cache.slots.resize(0);
  }
}
