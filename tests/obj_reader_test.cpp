// OBJ reading: statements, face syntax, shape boundaries, names, material
// switches and the content that makes a load fail.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "obj_grammar.h"
#include "padded_text.h"
#include "process_support.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;  // "..."s keeps NUL bytes

// Shapes as "name[v ...|n ...|i ...]" ("n" only when not empty), listing
// the first coordinate of each position and normal. The preamble gives
// element k the first coordinate k, so the lists show which 1-based
// elements the corners named. Texture-coordinate indices and material
// switches show through welding: a corner with another texture index, or
// after a switch, is another vertex.
std::string describe(const ObjShapes& shapes) {
  std::ostringstream out;
  auto firsts = [&](const char* tag, const PodArray<float>& values, ObjShapes::Range range) {
    out << tag;
    for (size_t k = range.begin; k < range.end; ++k) out << ' ' << values[3 * k];
  };
  for (size_t s = 0; s < shapes.count(); ++s) {
    out << (s ? " " : "") << shapes.name(s) << '[';
    firsts("v", shapes.positions, shapes.vertices(s));
    if (shapes.normalRange(s).size()) firsts("|n", shapes.normals, shapes.normalRange(s));
    out << "|i";
    for (size_t k = shapes.indexRange(s).begin; k < shapes.indexRange(s).end; ++k) out << ' ' << shapes.indices[k];
    out << ']';
  }
  return out.str();
}

// Five positions, three texture coordinates, three normals; element k has
// first coordinate k.
const std::string kPreamble =
    "v 1 0 0\nv 2 0 0\nv 3 0 0\nv 4 0 0\nv 5 0 0\nvt 1 0\nvt 2 0\nvt 3 0\nvn 1 0 0\nvn 2 0 0\nvn 3 0 0\n";

struct TextCase {
  const char* what;
  std::string obj;  // follows the preamble
  std::string want;
};

// Reading on several threads, in chunks cut after every few bytes, so that
// each kind of statement meets a chunk's end: the same shapes or failure.
void expectSameOnThreads(const std::string& text, const Loaded& one,
                         const std::map<std::string, std::string>& libraries = {}) {
  for (size_t chunkBytes : {1, 2, 7, 64}) {
    ReadOptions options;
    options.threads = 3;
    options.chunkBytes = chunkBytes;
    Loaded many = loadText(text, libraries, options);
    EXPECT_EQ(many.ok, one.ok) << "chunks of " << chunkBytes;
    EXPECT_EQ(describe(many.shapes), describe(one.shapes)) << "chunks of " << chunkBytes;
    EXPECT_EQ(many.failure.line, one.failure.line) << "chunks of " << chunkBytes;
    EXPECT_EQ(many.failure.reason, one.failure.reason) << "chunks of " << chunkBytes;
  }
}

void checkCases(const std::vector<TextCase>& cases, const std::map<std::string, std::string>& libraries = {}) {
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    Loaded loaded = loadText(kPreamble + c.obj, libraries);
    EXPECT_TRUE(loaded.ok) << loaded.failure.reason;
    EXPECT_EQ(describe(loaded.shapes), c.want);
    expectSameOnThreads(kPreamble + c.obj, loaded, libraries);
  }
}

TEST(ObjReader, FaceSyntax) {
  checkCases({
      {"positions only", "f 1 2 3\n", "[v 1 2 3|i 0 1 2]"},
      {"v/vt", "f 1/1 2/2 1/2\n", "[v 1 2 1|i 0 1 2]"},
      {"v//vn", "f 1//3 2//2 3//1\n", "[v 1 2 3|n 3 2 1|i 0 1 2]"},
      {"v/vt/vn", "f 1/2/3 2/3/1 1/3/3\n", "[v 1 2 1|n 3 1 3|i 0 1 2]"},
      {"v/vt/ at the line end reads normal 0", "f 2 3 1/2/\n", "[v 2 3 1|n 1|i 0 1 2]"},
      {"a trailing slash at the line end reads index 0", "f 4/1 2 4/\n", "[v 4 2|i 0 1 0]"},
      {"v// at the line end reads normal 0", "f 2 3 4//\n", "[v 2 3 4|n 1|i 0 1 2]"},
      {"a blank after a slash is skipped as atoi does; the number is read again as a corner", "f 1/ 3 1/3\n",
       "[v 1 3|i 0 1 0]"},
      {"a fourth component starts a new corner at index 0", "f 1/2/3/2 4 5\n", "[v 1 1 4 5|n 3|i 0 1 2 0 2 3]"},
      {"negative indices count back", "f -1 -2 -3\n", "[v 5 4 3|i 0 1 2]"},
      {"negative texcoord and normal indices", "f 1/-1/-3 2/-2/-1 1/3/1\n", "[v 1 2|n 1 3|i 0 1 0]"},
      {"index 0 reads as 1", "f 0 1 2\n", "[v 1 2|i 0 0 1]"},
      {"vt and vn index 0 read as 1", "f 1/0/0 2 1/1/1\n", "[v 1 2|n 1|i 0 1 0]"},
      {"words after the corners are corners naming vertex 1", "f 2 3 4 # note\n", "[v 2 3 4 1|i 0 1 2 0 2 3 0 3 3]"},
      {"tabs and several blanks separate corners", "f\t1 \t 2\t\t3  \n", "[v 1 2 3|i 0 1 2]"},
      {"a carriage return inside a line separates corners", "f 1 2\r3\n", "[v 1 2 3|i 0 1 2]"},
      {"a carriage return first means no corners", "f \r1 2 3\n", "[v|i]"},
      {"relative indices use the counts at the face line", "f -1 -1 -1\nv 6 0 0\nf -1 -2 -3\n",
       "[v 5 6 4|i 0 0 0 1 0 2]"},
      {"a face may name a vertex defined later in its group", "f 4 5 6\nv 6 0 0\n", "[v 4 5 6|i 0 1 2]"},
      {"texcoord and normal indices past the lists give none", "f 1/4/4 2/9/1 3//7\n", "[v 1 2 3|n 1|i 0 1 2]"},
      {"a quad fans", "f 1 2 3 4\n", "[v 1 2 3 4|i 0 1 2 0 2 3]"},
  });
}

// Face lines as the grammar records them: corners "v/vt/vn", "|" each
// face's corner end "@" its line, relative corners, lines. Lines of plain
// corners of one form take a path of their own, which must hand these over.
TEST(ObjGrammar, FaceLineCorners) {
  const auto record = [](const std::string& text) {
    const PaddedText padded(text);
    ChunkRecord r;
    parseChunk(padded.data(), padded.data() + text.size(), r);
    std::string s;
    for (const CornerIndex& c : r.corners)
      s += std::to_string(c.v_idx) + "/" + std::to_string(c.vt_idx) + "/" + std::to_string(c.vn_idx) + " ";
    for (const FaceEntry& f : r.faces) s += "|" + std::to_string(f.cornerEnd) + "@" + std::to_string(f.line);
    for (const ChunkRecord::Relative& x : r.relative) s += " r" + std::to_string(x.corner);
    return s + " " + std::to_string(r.lines) + (r.statements.empty() ? "" : " reject");
  };
  const std::pair<const char*, const char*> cases[] = {
      {"f 1 2 3\nf 4/5/6 7/8/9\nf 3//1 2//2\nf 9/8 7/6\nf 1/2/3 4//5 6 7/8\n",
       "0/-1/-1 1/-1/-1 2/-1/-1 3/4/5 6/7/8 2/-1/0 1/-1/1 8/7/-1 6/5/-1 0/1/2 3/-1/4 5/-1/-1 6/7/-1 "
       "|3@1|5@2|7@3|9@4|13@5 5"},
      {"f 1 2 \r\nf 1\t2\r3\nf \r1 2\nf 12345678 0/0/0 3//99999999\nf 1 -1 +2", "0/-1/-1 1/-1/-1 0/-1/-1 1/-1/-1 "
       "2/-1/-1 12345677/-1/-1 0/0/0 2/-1/99999998 0/-1/-1 -1/-1/-1 1/-1/-1 |2@1|5@2|5@3|8@4|11@5 r9 5"},
      {"f 1 2 3 # c\nf 1/2/ 1//\nf 1 2 99999999999\n",
       "0/-1/-1 1/-1/-1 2/-1/-1 0/-1/-1 0/-1/-1 0/1/0 0/-1/0 0/-1/-1 1/-1/-1 |5@1|7@2 3 reject"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(record(text), want) << text;
  std::string longLine = "f", want;
  for (int i = 1; i <= 300; ++i) longLine += " " + std::to_string(i), want += std::to_string(i - 1) + "/-1/-1 ";
  EXPECT_EQ(record(longLine + "\n" + longLine + "\n"), want + want + "|300@1|600@2 2");
}

TEST(ObjReader, Statements) {
  checkCases({
      {"keywords need a blank after them", "f\nv\nvn\nvt\nf1 2 3\nv1 2 3\nf -1 1 2\n", "[v 5 1 2|i 0 1 2]"},
      {"v with only blanks is the vertex 0 0 0", "v \nf -1 1 2\n", "[v 0 1 2|i 0 1 2]"},
      {"leading blanks and comments", "  \t f 1 2 3\n# f 1 2 4\n\t#x\n", "[v 1 2 3|i 0 1 2]"},
      {"unknown statements change nothing", "s 1\nvp 1 2\nl 1 2\np 1\nt crease 2/1/0 1 2 1\nusemtlx a\nf 1 2 3\n",
       "[v 1 2 3|i 0 1 2]"},
      {"extra numbers on v and vt lines are ignored", "v 6 0 0 7 8\nvt 4 0 9\nf -1/-1 1 2 -1/4\n",
       "[v 6 1 2|i 0 1 2 0 2 0]"},
  });
}

TEST(ObjReader, ShapeBoundariesAndNames) {
  checkCases({
      {"no faces, no shapes", "g a\no b\n", ""},
      {"faces before the first g form an unnamed shape", "f 1 2 3\ng a\nf 1 2 3\n",
       "[v 1 2 3|i 0 1 2] a[v 1 2 3|i 0 1 2]"},
      {"a group without faces is dropped", "g a\nf 1 2 3\ng b\ng c\nf 1 2 3\n",
       "a[v 1 2 3|i 0 1 2] c[v 1 2 3|i 0 1 2]"},
      {"g alone is ignored", "g a\nf 1 2 3\ng\nf 1 2 3\n", "a[v 1 2 3|i 0 1 2 0 1 2]"},
      {"g with only blanks starts an unnamed shape", "g a\nf 1 2 3\ng  \t\nf 1 2 3\n",
       "a[v 1 2 3|i 0 1 2] [v 1 2 3|i 0 1 2]"},
      {"g takes the first group name", "g a b\nf 1 2 3\ng\t c\t d \nf 1 2 3\n",
       "a[v 1 2 3|i 0 1 2] c[v 1 2 3|i 0 1 2]"},
      {"o takes the first word", "o left part\nf 1 2 3\no\t right\nf 1 2 3\n",
       "left[v 1 2 3|i 0 1 2] right[v 1 2 3|i 0 1 2]"},
      {"o alone is ignored, o with blanks names nothing", "o a\nf 1 2 3\no\nf 1 2 3\no \nf 1 2 3\n",
       "a[v 1 2 3|i 0 1 2 0 1 2] [v 1 2 3|i 0 1 2]"},
      {"shapes of the same name stay apart", "g a\nf 1 2 3\ng a\nf 1 2 3\n",
       "a[v 1 2 3|i 0 1 2] a[v 1 2 3|i 0 1 2]"},
      {"faces without triangles keep the shape", "g a\nf 1 2\ng b\nf\ng c\nf 1\ng d\nf \n",
       "a[v|i] c[v|i] d[v|i]"},
      {"g and o share the boundary rule", "o a\nf 1 2 3\ng b\nf 1 2 3\n",
       "a[v 1 2 3|i 0 1 2] b[v 1 2 3|i 0 1 2]"},
  });
}

TEST(ObjReader, MaterialsAcrossLibraries) {
  const std::map<std::string, std::string> libraries{
      {"one.mtl", "newmtl a\nKd 1 0 0\nnewmtl b\n"},
      {"two.mtl", "newmtl b\nnewmtl c\n"},
  };
  checkCases({
      {"names of both libraries switch materials", "mtllib one.mtl\nmtllib two.mtl\n"
       "usemtl a\nf 1 2 3\nusemtl b\nf 1 2 3\nusemtl c\nf 1 2 3\n",
       "[v 1 2 3 1 2 3 1 2 3|i 0 1 2 3 4 5 6 7 8]"},
      {"the same id again changes nothing", "mtllib one.mtl\nusemtl a\nf 1 2 3\nusemtl a\nf 1 2 4\n",
       "[v 1 2 3 4|i 0 1 2 0 1 3]"},
      {"an unknown name while none is set changes nothing", "f 1 2 3\nusemtl x\nf 1 2 4\n",
       "[v 1 2 3 4|i 0 1 2 0 1 3]"},
      {"an unknown name after a known one is a switch", "mtllib one.mtl\nusemtl a\nf 1 2 3\nusemtl x\nf 1 2 3\n",
       "[v 1 2 3 1 2 3|i 0 1 2 3 4 5]"},
      {"a name is known only after its library", "usemtl a\nf 1 2 3\nmtllib one.mtl\nusemtl a\nf 1 2 3\n",
       "[v 1 2 3 1 2 3|i 0 1 2 3 4 5]"},
      {"only the first library of an mtllib line is read", "mtllib two.mtl one.mtl\nf 1 2 3\nusemtl a\nf 1 2 3\n",
       "[v 1 2 3|i 0 1 2 0 1 2]"},
      {"a switch keeps the shape open; g keeps the material",
       "mtllib one.mtl\nusemtl a\nf 1 2 3\nusemtl b\ng next\nf 1 2 3\nusemtl b\nf 1 2 3\n",
       "[v 1 2 3|i 0 1 2] next[v 1 2 3|i 0 1 2 0 1 2]"},
      {"usemtl takes the first word", "mtllib one.mtl\nusemtl \t b a\nf 1 2 3\nusemtl b\nf 1 2 3\n",
       "[v 1 2 3|i 0 1 2 0 1 2]"},
      {"a missing library registers an unnamed default material",
       "f 1 2 3\nmtllib missing.mtl\nusemtl \nf 1 2 3\n", "[v 1 2 3 1 2 3|i 0 1 2 3 4 5]"},
  }, libraries);
}

TEST(ObjReader, LineEndsAndNulBytes) {
  checkCases({
      {"CR LF", "g a\r\nf 1 2 3\r\no b\r\nf 3 2 1\r\n", "a[v 1 2 3|i 0 1 2] b[v 3 2 1|i 0 1 2]"},
      {"CR at the very end", "g a\nf 1 2 3\r", "a[v 1 2 3|i 0 1 2]"},
      {"a lone CR does not end a line", "g a\rg b\nf 1 2 3\n", "a[v 1 2 3|i 0 1 2]"},
      {"a number field ends at a CR", "v 6\r7 8\nf -1 1 2\n", "[v 6 1 2|i 0 1 2]"},
      {"no line end at the end", "g a\nf 1 2 3", "a[v 1 2 3|i 0 1 2]"},
      {"a NUL hides the rest of its line", "g a\nf 1 2 3\0 4\ng\0 b\nf 1 2 3\n"s, "a[v 1 2 3|i 0 1 2 0 1 2]"},
      {"a NUL in an earlier line hides nothing after it", "v 9\0 9 9\nf -1 1 2\0"s, "[v 9 1 2|i 0 1 2]"},
      {"a NUL as the first byte of a line", "\0f 1 2 3\nf 1 2 4\n"s, "[v 1 2 4|i 0 1 2]"},
      {"a NUL right after a CR", "f 1 2 3\r\0\n"s, "[v 1 2 3|i 0 1 2]"},
  });
}

TEST(ObjReader, LongLinesAreReadWhole) {
  const std::string longName(100000, 'n');
  std::string face = "f";
  for (int i = 0; i < 20000; ++i) face += " 1 2 3";  // 120 001 characters
  Loaded loaded = loadText(kPreamble + "g " + longName + "\n" + face + "\nf 4 5 1\nusemtl " + std::string(9000, 'm') +
                           "\nv " + std::string(50000, ' ') + "6 0 0\nf -1 1 2\n");
  ASSERT_TRUE(loaded.ok) << loaded.failure.reason;
  ASSERT_EQ(loaded.shapes.count(), 1u);
  EXPECT_EQ(loaded.shapes.name(0), longName);
  EXPECT_EQ(loaded.shapes.indexCount(), 3 * (60000u - 2 + 1 + 1));
  EXPECT_EQ(loaded.shapes.vertexCount(), 6u);
  EXPECT_EQ(loaded.shapes.positions[3 * 5], 6.0f);

  // Library, material and object names of any length are read whole: the
  // switch to the material makes new vertices.
  const std::string library(5000, 'l'), material(9000, 'm'), object(70000, 'o');
  loaded = loadText(kPreamble + "mtllib " + library + "\no " + object + "\nf 1 2 3\nusemtl " + material + "\nf 1 2 3\n",
                    {{library, "newmtl " + material + "\n"}});
  ASSERT_TRUE(loaded.ok) << loaded.failure.reason;
  ASSERT_EQ(loaded.shapes.count(), 1u);
  EXPECT_EQ(loaded.shapes.name(0), object);
  EXPECT_EQ(loaded.shapes.vertexCount(), 6u);
}

struct RejectCase {
  const char* what;
  std::string obj;
  uint64_t line;
};

TEST(ObjReader, RejectionsNameTheLine) {
  const RejectCase cases[] = {
      {"position index past the vertices", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", 4},
      {"the vertex is still missing when the group closes", "v 0 0 0\n\n# c\nf 1 2 3\ng a\nv 0 0 0\nv 0 0 0\n", 4},
      {"a later face of the group names no vertex", "v 0 0 0\nv 0 0 0\nv 0 0 0\nf 1 2 3\r\nf 3 2 1\r\nf 1 2 9\r\n", 6},
      {"relative index before the first vertex", "v 0 0 0\nv 0 0 0\ng a\nf -1 -2 -3\n", 4},
      {"int32 max names no vertex", "v 0 0 0\nf 1 1 2147483647\n", 2},
      {"index above the 32-bit range", "v 0 0 0\nf 1 1 2147483648\n", 2},
      {"index below the 32-bit range", "v 0 0 0\nf 1 1 -2147483649\n", 2},
      {"texcoord index out of range", "v 0 0 0\nf 1/4294967297 1 1\n", 2},
      {"normal index out of range", "v 0 0 0\nf 1//-99999999999999999999 1 1\n", 2},
      {"vt/vn index out of range", "v 0 0 0\nf 1/1/3000000000 1 1\n", 2},
      {"even in a one-corner face", "v 0 0 0\nf 1 1 1\nf 99999999999\n", 3},
      {"even in a two-corner face", "v 0 0 0\nf 1 5000000000\n", 2},
      {"in a word after the corners", "v 0 0 0\nf 1 1 1 # 5000000000\n", 2},
      {"lines counted through a NUL and a lone CR", "v 0 0 0\r\n\0\n#\rx\r\nf 1 1 2\n"s, 4},
  };
  for (const RejectCase& c : cases) {
    Loaded loaded = loadText(c.obj);
    expectSameOnThreads(c.obj, loaded);
    EXPECT_FALSE(loaded.ok) << c.what;
    EXPECT_EQ(loaded.failure.line, c.line) << c.what;
    EXPECT_EQ(loaded.failure.path, "test.obj") << c.what;
    EXPECT_FALSE(loaded.failure.reason.empty()) << c.what;
  }
  // Within range and resolving to nothing are not failures for texcoords
  // and normals.
  Loaded accepted = loadText("v 0 0 0\nf 1/2147483647/-2147483648 1 1\n");
  EXPECT_TRUE(accepted.ok) << accepted.failure.reason;
}

// The file reader streams through a block: lines that straddle blocks or
// outgrow one give what the in-memory reader gives. (A missing file and a
// directory are refused end to end in cli_test.)
// Random statements of every kind, with indices counting back, names,
// material switches, CRs, NULs, a few long lines and a rejection near the
// end: the same shapes on one thread and on several, in chunks of any size.
TEST(ObjReader, ThreadsReadAsOneThreadDoes) {
  std::mt19937 random(5);
  auto pick = [&](size_t n) { return size_t(random() % n); };
  const char* blanks[] = {" ", "\t", "  ", "\r", " \r"};
  std::string text;
  for (int line = 0; line < 6000; ++line) {
    switch (pick(12)) {
      case 0: case 1: text += "v " + std::to_string(pick(100)) + " 0." + std::to_string(pick(99)) + " -1e-2"; break;
      case 2: text += "vn 0 0 " + std::to_string(pick(3)); break;
      case 3: text += "vt 0.5 0.5"; break;
      case 4: text += std::string("g ") + "abc"[pick(3)]; break;
      case 5: text += std::string("o ") + std::string(pick(3) ? 1 : 3000, 'o'); break;
      case 6: text += std::string("usemtl ") + "mnx"[pick(3)]; break;
      case 7: text += "mtllib lib.mtl"; break;
      default: {
        text += "f";
        for (size_t k = 3 + pick(3); k > 0; --k) {
          const bool back = pick(2);
          text += blanks[pick(5)] + std::string(back ? "-" : "") + std::to_string(1 + pick(back ? 5 : 40));
          if (pick(2)) text += "/" + std::to_string(1 + pick(3));
          if (pick(2)) text += "//-" + std::to_string(1 + pick(3));
        }
      }
    }
    if (pick(50) == 0) text += std::string(1, '\0') + "f 999999999999";
    text += pick(10) ? "\n" : "\r\n";
  }
  const std::map<std::string, std::string> libraries{{"lib.mtl", "newmtl m\nnewmtl n\n"}};
  std::string prefix = "vn 0 0 1\nvt 0 0\n";  // and 40 vertices, so that every index names one
  for (int i = 0; i < 40; ++i) prefix += "v " + std::to_string(i) + " 0 0\n";
  for (const bool rejected : {false, true}) {
    const std::string input = prefix + text + (rejected ? "f 1 2 99999999\nf 1 2 3\n" : "");
    Loaded one = loadText(input, libraries);
    EXPECT_EQ(one.ok, !rejected) << one.failure.line << ": " << one.failure.reason;
    if (!rejected) {
      EXPECT_GT(one.shapes.count(), 50u);
    }
    expectSameOnThreads(input, one, libraries);
  }
}

// The first failure in file order wins. Chunks from `firstFailing` on run
// out of memory; when that comes after the chunk that finds a content
// failure, the content failure is reported even though a thread parsing
// ahead ran out of memory first; otherwise the exception is thrown.
TEST(ObjReader, FirstFailureInFileOrderWins) {
  std::string text = "v 0 0 0\nf 1 2 3\ng next\n";  // "g next" finds vertex 2 missing
  for (int i = 0; i < 1000; ++i) text += "v " + std::to_string(i) + " 0 0\n";
  const Loaded one = loadText(text);
  ASSERT_FALSE(one.ok);
  ASSERT_EQ(one.failure.line, 2u);
  size_t laterFailedFirst = 0;
  // Chunk sizes and the chunk holding "g next".
  const std::pair<size_t, size_t> cases[] = {{1, 2}, {7, 2}, {64, 0}, {4096, 0}};
  for (const auto& [chunkBytes, finding] : cases) {
    for (unsigned threads : {1u, 2u, 3u}) {
      for (size_t firstFailing : {size_t(0), finding, finding + 1}) {
        SCOPED_TRACE(testing::Message() << "chunks of " << chunkBytes << ", " << threads << " threads, failing from "
                                        << firstFailing);
        std::atomic<bool> thrown{false};
        ReadOptions options;
        options.threads = threads;
        options.chunkBytes = chunkBytes;
        options.beforeParse = [&](size_t chunk) {
          if (chunk >= firstFailing) {
            thrown = true;
            throw std::bad_alloc();
          }
          // The chunk that finds the content failure waits a little for the
          // next chunk, already made by then, to fail on another thread:
          // first in time, but not in file order.
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
          while (chunk == finding && threads > 1 && !thrown && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        if (firstFailing <= finding) {
          EXPECT_THROW(loadText(text, {}, options), std::bad_alloc);
          continue;
        }
        Loaded many;
        EXPECT_NO_THROW(many = loadText(text, {}, options));
        EXPECT_FALSE(many.ok);
        EXPECT_EQ(many.failure.line, one.failure.line);
        EXPECT_EQ(many.failure.reason, one.failure.reason);
        laterFailedFirst += thrown;
      }
    }
  }
  // The workers made the later chunks fail first in some of the runs.
  EXPECT_GT(laterFailedFirst, 0u);
}

TEST(ObjReader, FileMatchesMemory) {
  TempDir dir;
  std::string text = kPreamble + "g " + std::string(3 << 20, 'x') + "\n";
  for (int i = 0; text.size() < (6u << 20); ++i)
    text += "v " + std::to_string(i) + ".5 1 2\r\nf -1 -2/1 -3//2 1/2/3 " + std::to_string(i % 7) + "\n";
  text += "f 1 2";
  writeFile(dir.path() / "big.obj", text);
  ObjShapes fromFile;
  Failure failure;
  ASSERT_TRUE(readObjFile((dir.path() / "big.obj").string(), libraryLookup({}), fromFile, failure)) << failure.reason;
  ASSERT_EQ(fromFile.count(), 1u);
  Loaded fromMemory = loadText(text);
  EXPECT_EQ(describe(fromFile), describe(fromMemory.shapes));
  EXPECT_TRUE(std::equal(fromFile.positions.begin(), fromFile.positions.end(), fromMemory.shapes.positions.begin(),
                         fromMemory.shapes.positions.end()));
}

}  // namespace
