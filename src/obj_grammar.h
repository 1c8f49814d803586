#pragma once

// The OBJ statement grammar. It turns a chunk of whole lines into a record
// of the chunk's values, face corners and the statements that act on a
// load, and knows nothing of the load itself: counts, lines and relative
// indices in a record are the chunk's own, and applying records in file
// order (obj_reader.cpp) adds those of the chunks before.

#include <cstdint>
#include <string>

#include "pod_array.h"
#include "shape_assembly.h"

namespace obj2mesh {

struct ChunkRecord {
  // A statement other than "v", "vn", "vt" and "f".
  enum Kind : uint8_t { Group, Object, UseMaterial, MaterialLibrary, Reject };
  struct Statement {
    Kind kind;
    uint64_t faces;      // faces of the chunk before the statement
    uint64_t positions;  // "v" lines of the chunk before it
    uint64_t normals;    // "vn" lines
    uint64_t texcoords;  // "vt" lines
    uint64_t line;
    size_t nameBegin, nameEnd;  // its name in `names`; a Reject's reason
  };

  PodArray<float> positions;  // 3 per "v" line
  PodArray<float> normals;    // 3 per "vn" line
  uint64_t texcoords = 0;     // "vt" lines
  PodArray<float> texcoordValues;  // 2 per "vt" line, when kept
  uint64_t lines = 0;
  // Indices of the faces' corners: 1-based ones made 0-based, relative ones
  // resolved against the chunk's own counts.
  PodArray<CornerIndex> corners;
  PodArray<FaceEntry> faces;  // lines are 1-based in the chunk
  // The indices that count back from the end of their list, in order.
  enum Component : uint8_t { V, Vt, Vn };
  struct Relative {
    uint64_t corner;  // in `corners`
    Component component;
  };
  PodArray<Relative> relative;
  PodArray<Statement> statements;
  std::string names;

  void clear();
};

// Parses the lines of [begin, end) into `record` (cleared first). The text
// is whole lines of a PaddedText: a line ends at a line feed or a NUL byte,
// and a NUL or the padding follows `end`. Parsing stops after a line that
// is rejected (a Reject statement). The values of "vt" lines are read only
// with `texcoords`; they are counted either way.
void parseChunk(const char* begin, const char* end, ChunkRecord& record, bool texcoords = false);

}  // namespace obj2mesh
