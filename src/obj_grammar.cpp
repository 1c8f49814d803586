// The OBJ statement grammar: one chunk of lines into a ChunkRecord (see
// obj_grammar.h). Lines of one kind come in runs, which are read in one go.

#include "obj_grammar.h"

#include <cstddef>
#include <cstring>

#include "number_parsing.h"

namespace obj2mesh {

void ChunkRecord::clear() {
  positions.clear();
  normals.clear();
  texcoords = 0;
  texcoordValues.clear();
  lines = 0;
  corners.clear();
  faces.clear();
  relative.clear();
  statements.clear();
  names.clear();
}

namespace {

std::string indexOutOfRange(int64_t n) {
  if (n < INT32_MIN || n > INT32_MAX)
    return std::string("face index ") + (n < 0 ? "below -2147483648" : "above 2147483647") +
           " is outside the 32-bit range";
  return "relative face index is outside the 32-bit range";
}

class Parser {
 public:
  Parser(ChunkRecord& record, bool texcoords) : r_(record), keepTexcoords_(texcoords) {}

  void run(const char* p, const char* end) {
    while (p < end) {
      ++line_;
      p = statement(p, line_);
      if (!p) break;
      if (*p == '\n') {
        ++p;
      } else {
        const void* newline = std::memchr(p, '\n', size_t(end - p));
        p = newline ? static_cast<const char*>(newline) + 1 : end;
      }
    }
    r_.lines = line_;
  }

 private:
  // Whether the line after the one that ended at p (where reading stopped)
  // starts with `keyword` and a blank: lines of one kind come in runs, read
  // in one go. Only a line that ended at its line feed counts.
  template <size_t N>
  bool nextStartsWith(const char* p, const char (&keyword)[N]) const {
    // A NUL follows the text, so no line starts at its end.
    return *p == '\n' && std::memcmp(p + 1, keyword, N - 1) == 0 && isBlank(p[N]);
  }

  // Reads the statement of the line at p, and of the lines after it of the
  // same kind; returns where the reading of the last one stopped, at or
  // before its line's end, or nullptr when that line is rejected.
  const char* statement(const char* p, uint64_t line) {
    while (isBlank(*p)) ++p;
    switch (*p) {
      case 'v':
        if (isBlank(p[1])) {
          return parseVectorLines(p, "v", r_.positions, line_);
        } else if (p[1] == 'n' && isBlank(p[2])) {
          return parseVectorLines(p, "vn", r_.normals, line_);
        } else if (p[1] == 't' && isBlank(p[2])) {
          if (!keepTexcoords_) {
            ++r_.texcoords;
            return p;
          }
          p = parseVectorLines<2>(p, "vt", r_.texcoordValues, line_);
          r_.texcoords = r_.texcoordValues.size() / 2;
        }
        return p;
      case 'f':
        return isBlank(p[1]) ? face(p + 2) : p;
      case 'g':
        // The first group name: words are split at spaces, tabs and
        // carriage returns.
        if (isBlank(p[1])) return named(ChunkRecord::Group, p + 2, kBlank | kReturn, line);
        return p;
      case 'o':
        if (isBlank(p[1])) return named(ChunkRecord::Object, p + 2, kWhiteSpace, line);
        return p;
      case 'u':
        if (std::memcmp(p, "usemtl", 6) == 0 && isBlank(p[6]))
          return named(ChunkRecord::UseMaterial, p + 7, kWhiteSpace, line);
        return p;
      case 'm':
        if (std::memcmp(p, "mtllib", 6) == 0 && isBlank(p[6]))
          return named(ChunkRecord::MaterialLibrary, p + 7, kWhiteSpace, line);
        return p;
      default:
        return p;
    }
  }

  // Records a statement whose argument is the first word at p, words being
  // separated by bytes of the class `separators`.
  const char* named(ChunkRecord::Kind kind, const char* p, unsigned separators, uint64_t line) {
    while (is(*p, separators)) ++p;
    const char* word = p;
    while (!is(*p, separators | kLineEnd)) ++p;
    add(kind, word, size_t(p - word), line);
    return p;
  }

  void add(ChunkRecord::Kind kind, const char* name, size_t size, uint64_t line) {
    const size_t begin = r_.names.size();
    r_.names.append(name, size);
    r_.statements.push_back({kind, r_.faces.size(), r_.positions.size() / 3, r_.normals.size() / 3, r_.texcoords,
                             line, begin, r_.names.size()});
  }

  bool reject(int64_t n, uint64_t line) {
    const std::string reason = indexOutOfRange(n);
    add(ChunkRecord::Reject, reason.data(), reason.size(), line);
    return false;
  }

  // A plain index as a 0-based one; 0 reads as 1.
  static int32_t plainIndex(uint32_t n) { return int32_t(n - 1 + (n == 0)); }

  // One index of the corner at `corner`: n > 0 is 1-based, 0 reads as 1,
  // n < 0 counts back from the end of its list. Returns where the corner's
  // reading goes on, or nullptr when the index cannot be represented.
  const char* index(const char* p, int32_t& out, ChunkRecord::Component component, const CornerIndex* corner,
                    uint64_t line) {
    uint32_t plain;
    if (const char* q = readPlainIndex(p, plain)) {
      out = plainIndex(plain);
      p = q;
    } else if (!otherIndex(p, out, component, corner, line)) {
      return nullptr;
    }
    while (!is(*p, kSlash | kBlank | kReturn | kLineEnd)) ++p;
    return p;
  }

  // An index with a sign, out of range, or of no digits, as atoi reads it.
  bool otherIndex(const char* p, int32_t& out, ChunkRecord::Component component, const CornerIndex* corner,
                  uint64_t line) {
    const int64_t n = parseIndexInteger(p);
    if (n > 0) {
      if (n > INT32_MAX) return reject(n, line);
      out = int32_t(n - 1);
    } else if (n == 0) {
      out = 0;
    } else {
      // Counted back from the elements of the chunk so far.
      const uint64_t count = component == ChunkRecord::V    ? r_.positions.size() / 3
                             : component == ChunkRecord::Vt ? r_.texcoords
                                                            : r_.normals.size() / 3;
      const int64_t resolved = int64_t(count) + n;
      if (n < INT32_MIN || resolved > INT32_MAX) return reject(n, line);
      out = int32_t(resolved);
      r_.relative.push_back({size_t(corner - r_.corners.data()), component});
    }
    return true;
  }

  // Cursors into room made ahead in r_.corners and r_.faces, which are
  // counted with setEnd when the run ends.
  struct Cursors {
    CornerIndex* corner;
    const CornerIndex* cornerRoom;
    FaceEntry* face;
    const FaceEntry* faceRoom;
  };

  // Room for at least `corners` more corners and `faces` more faces.
  void makeRoom(Cursors& c, size_t corners, size_t faces) {
    r_.corners.setEnd(c.corner);
    r_.corners.reserveMore(corners);
    c.corner = r_.corners.end();
    c.cornerRoom = r_.corners.data() + r_.corners.capacity();
    r_.faces.setEnd(c.face);
    r_.faces.reserveMore(faces);
    c.face = r_.faces.end();
    c.faceRoom = r_.faces.data() + r_.faces.capacity();
  }

  // The corners of the line at p (after the keyword and its blank), when
  // they are all plain indices of one form: "v", "v/t", "v//n" or "v/t/n",
  // and the line ends at a line feed. Writes them from `out` on, up to
  // `room`, and returns where the line feed is, or nullptr for any other
  // line.
  template <bool Texcoord, bool Normal>
  static const char* plainCorners(const char* p, CornerIndex*& out, const CornerIndex* room) {
    const char* const lineStart = p;
    for (;;) {  // p is at a corner, or at blanks before one or the line feed
      if (out == room) return nullptr;
      uint32_t v, t = 0, n = 0;
      const char* q = readPlainIndex(p, v);
      if (!q) {
        // A carriage return or blank first is for face() to read.
        if (p == lineStart) return nullptr;
        while (is(*p, kBlank | kReturn)) ++p;
        if (*p == '\n') return p;
        if (!(q = readPlainIndex(p, v))) return nullptr;
      }
      p = q;
      if (Texcoord || Normal) {
        if (*p != '/') return nullptr;
        ++p;
      }
      if (Texcoord && !(p = readPlainIndex(p, t))) return nullptr;
      if (Normal && (*p != '/' || !(p = readPlainIndex(p + 1, n)))) return nullptr;
      if (Texcoord || Normal) {
        *out = {plainIndex(v), Texcoord ? plainIndex(t) : -1, Normal ? plainIndex(n) : -1};
      } else {
        out->v_idx = plainIndex(v);
        // vt_idx and vn_idx, both -1, in one store.
        static_assert(offsetof(CornerIndex, vn_idx) == offsetof(CornerIndex, vt_idx) + 4, "adjacent");
        const int64_t none = -1;
        std::memcpy(reinterpret_cast<char*>(out) + offsetof(CornerIndex, vt_idx), &none, sizeof none);
      }
      ++out;
      if (*p == ' ') {
        ++p;
      } else if (*p == '\n') {
        return p;
      } else if (!is(*p, kBlank | kReturn)) {
        return nullptr;
      }
    }
  }

  // Room for the corners and faces of common lines, checked once a line;
  // lines of more corners may take face()'s path.
  static constexpr size_t kLineRoom = 64;
  static constexpr size_t kFaceBatch = 256;

  enum class Plain { RunEnds, OtherLine, NoRoom };

  // Reads lines of the run at p (after the keyword and its blank) while
  // plainCorners takes them, in the form of the first corner at p. Stops
  // at the end of the run, at a line to read in full or for want of room,
  // p at the start of the line to read next.
  Plain plainLines(const char*& p, Cursors& c) {
    const char* q = p;
    while (isDigit(*q)) ++q;
    if (*q != '/') return plainLines<false, false>(p, c);
    if (q[1] == '/') return plainLines<false, true>(p, c);
    for (++q; isDigit(*q);) ++q;
    if (*q == '/') return plainLines<true, true>(p, c);
    return plainLines<true, false>(p, c);
  }

  template <bool Texcoord, bool Normal>
  Plain plainLines(const char*& at, Cursors& c) {
    // No calls in the loop, which keeps its constants in registers.
    const CornerIndex* corners = r_.corners.data();
    CornerIndex* out = c.corner;
    FaceEntry* face = c.face;
    const char* p = at;
    uint64_t line = line_;
    Plain result;
    for (;;) {
      if (size_t(c.cornerRoom - out) < kLineRoom || face == c.faceRoom) {
        result = Plain::NoRoom;
        break;
      }
      CornerIndex* lineCorners = out;
      const char* end = plainCorners<Texcoord, Normal>(p, out, c.cornerRoom);
      if (!end) {
        out = lineCorners;
        result = Plain::OtherLine;
        break;
      }
      p = end;
      *face++ = {uint64_t(out - corners), line};
      // p is at the line feed.
      if (p[1] != 'f' || !isBlank(p[2])) {
        result = Plain::RunEnds;
        break;
      }
      ++line;
      p += 3;
    }
    at = p;
    line_ = line;
    c.corner = out;
    c.face = face;
    r_.faces.setEnd(face);  // for a Reject statement on the line after
    return result;
  }

  // The run of face lines at p (after the keyword and its blank).
  const char* face(const char* p) {
    // Corners and faces are written through cursors into room made ahead.
    constexpr size_t kBatch = 32;
    Cursors c = {r_.corners.end(), r_.corners.end(), r_.faces.end(), r_.faces.end()};
    for (;;) {
      const Plain plain = plainLines(p, c);
      if (plain == Plain::RunEnds) break;
      if (plain == Plain::NoRoom) {
        makeRoom(c, 4 * kLineRoom, kFaceBatch);
        continue;
      }
      const uint64_t line = line_;
      while (isBlank(*p)) ++p;
      if (*p != '\r' && !is(*p, kLineEnd)) {
        for (;;) {  // p is at a corner
          if (c.corner == c.cornerRoom) makeRoom(c, kBatch, 1);
          CornerIndex* corner = c.corner;
          corner->vt_idx = corner->vn_idx = -1;
          if (!(p = index(p, corner->v_idx, ChunkRecord::V, corner, line))) break;
          if (*p == '/') {
            ++p;
            if (*p == '/') {
              if (!(p = index(p + 1, corner->vn_idx, ChunkRecord::Vn, corner, line))) break;
            } else {
              if (!(p = index(p, corner->vt_idx, ChunkRecord::Vt, corner, line))) break;
              if (*p == '/' && !(p = index(p + 1, corner->vn_idx, ChunkRecord::Vn, corner, line))) break;
            }
          }
          ++c.corner;
          while (is(*p, kBlank | kReturn)) ++p;
          if (is(*p, kLineEnd)) break;
        }
        if (!p) break;  // rejected
      }
      if (c.face == c.faceRoom) makeRoom(c, 0, kFaceBatch);
      *c.face++ = {uint64_t(c.corner - r_.corners.data()), line};
      if (!nextStartsWith(p, "f")) break;
      ++line_;
      p += 3;
    }
    r_.corners.setEnd(c.corner);
    r_.faces.setEnd(c.face);
    return p;
  }

  ChunkRecord& r_;
  const bool keepTexcoords_;
  uint64_t line_ = 0;
};

}  // namespace

void parseChunk(const char* begin, const char* end, ChunkRecord& record, bool texcoords) {
  record.clear();
  Parser(record, texcoords).run(begin, end);
}

}  // namespace obj2mesh
