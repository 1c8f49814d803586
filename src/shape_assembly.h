#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <vector>

#include "material_library.h"
#include "obj2mesh/converter.h"
#include "pod_array.h"

namespace obj2mesh {

// One face corner as read from a face line: 0-based indices into the
// file-wide position, texture-coordinate and normal lists; -1 marks an
// absent component. Relative indices are already resolved, so any value
// (negative ones too) may name nothing.
struct CornerIndex {
  int32_t v_idx = -1;
  int32_t vt_idx = -1;
  int32_t vn_idx = -1;
};

// The shapes of one OBJ file. Their welded vertices, normals and triangles
// lie in file-wide lists, shape after shape (shapes are completed one after
// another); a shape is its name and where its part of each list ends.
// `normals` holds one entry per vertex that received a normal, so it lines
// up with `positions` only when every vertex received one.
struct ObjShapes {
  struct Shape {
    size_t nameEnd;    // in `names`
    size_t vertexEnd;  // in vertices, 3 floats each
    size_t normalEnd;  // in normals, 3 floats each
    size_t indexEnd;   // in `indices`
  };
  struct Range {
    size_t begin, end;
    size_t size() const { return end - begin; }
  };
  // The triangles of one face group that has any: they end at `indexEnd`
  // and begin where the group before them ends.
  struct Group {
    uint64_t indexEnd;
    int64_t material;  // a 32-bit id, widened so that the record has no padding
  };

  std::string names;            // every shape's name, one after another
  PodArray<float> positions;    // 3 per vertex
  PodArray<float> normals;      // 3 per vertex that has a normal
  PodArray<uint32_t> indices;   // 3 per triangle, numbering the shape's own vertices from 0
  PodArray<Shape> shapes;
  // Runs of vertices that received no normal, in vertex order, none
  // adjacent to the next.
  PodArray<Range> withoutNormal;
  // Face groups with triangles, merged where one shape's consecutive
  // groups have one material.
  PodArray<Group> groups;
  // 2 per vertex, (0, 0) for a vertex that received none; kept only when
  // `hasTexcoords`.
  PodArray<float> texcoords;
  bool hasTexcoords = false;
  std::vector<ObjMaterial> materials;  // in id order
  // Memory of a list the load no longer needed, kept for the conversion's
  // buffer: its pages are already in place, so they need not be cleared
  // again on first touch.
  PodArray<float> spare;

  size_t count() const { return shapes.size(); }
  std::string_view name(size_t s) const {
    size_t begin = s ? shapes[s - 1].nameEnd : 0;
    return std::string_view(names).substr(begin, shapes[s].nameEnd - begin);
  }
  Range vertices(size_t s) const { return {s ? shapes[s - 1].vertexEnd : 0, shapes[s].vertexEnd}; }
  Range normalRange(size_t s) const { return {s ? shapes[s - 1].normalEnd : 0, shapes[s].normalEnd}; }
  Range indexRange(size_t s) const { return {s ? shapes[s - 1].indexEnd : 0, shapes[s].indexEnd}; }
  // Totals over all shapes.
  size_t vertexCount() const { return shapes.size() ? shapes.back().vertexEnd : 0; }
  size_t normalCount() const { return shapes.size() ? shapes.back().normalEnd : 0; }
  size_t indexCount() const { return shapes.size() ? shapes.back().indexEnd : 0; }
};

// One face of a list of faces: its corners end where the next face's begin.
struct FaceEntry {
  uint64_t cornerEnd;  // in the list of corners
  uint64_t line;
};

// The file-wide attribute lists as far as the statement at hand: a face
// group takes its values from these, and the lists may hold more (read
// further on) than the counts show. Texture coordinates are there only
// when the load keeps them.
struct Attributes {
  const float* positions;
  size_t positionCount;  // vertices, 3 floats each
  const float* normals;
  size_t normalCount;    // normals, 3 floats each
  const float* texcoords = nullptr;
  size_t texcoordCount = 0;  // 2 floats each

  static Attributes of(const PodArray<float>& positions, const PodArray<float>& normals,
                       const PodArray<float>& texcoords) {
    return {positions.data(), positions.size() / 3, normals.data(), normals.size() / 3, texcoords.data(),
            texcoords.size() / 2};
  }
};

struct FaceGroup;  // the faces collected since the last flush

// Turns the faces that OBJ reading collects into shapes: fan triangles,
// corners welded into vertices within each face group, and the attribute
// values each new vertex takes from the file-wide lists.
//
// Corners are welded as faces arrive (numbering depends only on the order
// of first visit), but the values are copied when the face group closes, as
// a face may name vertices whose lines come after it.
class ShapeAssembler {
 public:
  // A shape's vertices are numbered with 32-bit integers.
  static constexpr uint64_t kMaxShapeVertices = uint64_t(UINT32_MAX) + 1;

  // With `keepTexcoords`, each vertex takes its texture coordinate.
  explicit ShapeAssembler(uint64_t maxShapeVertices = kMaxShapeVertices, bool keepTexcoords = false);
  ~ShapeAssembler();
  ShapeAssembler(const ShapeAssembler&) = delete;
  ShapeAssembler& operator=(const ShapeAssembler&) = delete;

  // Fan-triangulates one face into the current face group. Faces of fewer
  // than 3 corners add no triangle but still count as faces of the group.
  // `positionCount` is the number of vertices read so far, `line` the
  // face's. False when the shape outgrows its vertex numbers.
  bool addFace(const CornerIndex* corners, size_t cornerCount, size_t positionCount, uint64_t line,
               Failure& failure);
  // The same for a list of faces: face i has corners[faces[i - 1].cornerEnd]
  // (corners[cornerBegin] for the first) up to corners[faces[i].cornerEnd],
  // and the line lineBase + faces[i].line.
  bool addFaces(const CornerIndex* corners, uint64_t cornerBegin, const FaceEntry* faces, size_t faceCount,
                size_t positionCount, uint64_t lineBase, Failure& failure);

  // Closes the current face group (a material switch), whose faces were
  // read under `material`: copies the values of its new vertices from the
  // file-wide lists. False when a corner's position index names no vertex.
  bool flushFaceGroup(const Attributes& in, int32_t material, Failure& failure);

  // Closes the face group and the shape (a "g" or "o" line, the end of
  // input). The shape is kept, under `name`, when it received a face.
  bool endShape(std::string_view name, const Attributes& in, int32_t material, Failure& failure);

  ObjShapes& shapes() { return shapes_; }

 private:
  template <bool kLimited>
  bool weldFaces(const CornerIndex* corners, uint64_t cornerBegin, const FaceEntry* faces, size_t faceCount,
                 size_t positionCount, uint64_t lineBase, Failure& failure);
  // Notes vertices [begin, end) as having no normal.
  void noNormal(size_t begin, size_t end);

  std::unique_ptr<FaceGroup> group_;
  uint64_t maxShapeVertices_;
  ObjShapes shapes_;
  size_t shapeFirstVertex_ = 0;  // where the open shape's vertices start
  size_t shapeFirstIndex_ = 0;   // and its indices
  bool shapeHasFaces_ = false;
};

}  // namespace obj2mesh
