// Hostile input, end to end: each row runs the built obj2mesh on something a
// user might feed it by accident or on purpose, with a time limit, and
// checks the outcome the row expects: either a clean conversion (exit 0,
// nothing on standard error, a file that passes the Verifier and the index
// invariants), or a refusal ("failed" on the progress line, exit 1, one
// "obj2mesh: <path>[:<line>]: <reason>" line on standard error, and no file
// left behind). The child's peak memory is measured too: loading must stay
// within a constant factor of the input's size.
//
// The large inputs are generated here, never stored in the repository.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "process_support.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_SANITIZED 1
#endif
#endif

namespace {

#ifdef HOSTILE_SANITIZED
// Instrumented code is slower and its shadow memory makes peak memory
// meaningless.
constexpr double kSlowdown = 4;
constexpr bool kMeasureMemory = false;
#else
constexpr double kSlowdown = 1;
constexpr bool kMeasureMemory = true;
#endif

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir))
    names.insert(entry.path().lexically_relative(dir).string());
  return names;
}

// Writes `count` copies of `text` to a file, in blocks.
void writeRepeated(const fs::path& path, const std::string& prefix, const std::string& text, size_t count,
                   const std::string& suffix) {
  std::ofstream out(path, std::ios::binary);
  out << prefix;
  std::string block;
  size_t perBlock = std::max<size_t>(1, (1 << 20) / std::max<size_t>(1, text.size()));
  for (size_t i = 0; i < perBlock; ++i) block += text;
  for (size_t done = 0; done < count; done += perBlock) {
    size_t n = std::min(perBlock, count - done);
    out.write(block.data(), std::streamsize(n * text.size()));
  }
  out << suffix;
}

void makeFifo(const fs::path& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << std::strerror(errno); }

const std::string kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";

enum class Expect { Converts, Fails };

struct Row {
  std::string name;
  // Creates the input ("in.obj" unless `args` says otherwise) and anything
  // it names in the folder.
  std::function<void(const fs::path& dir)> setup;
  Expect expect = Expect::Converts;
  // Converts: triangles and meshes in the file (-1: any number).
  int64_t triangles = 0;
  int64_t meshes = 1;
  // Fails: the progress step that ends in "failed", and the start of the
  // reason line after "obj2mesh: ".
  std::string failedStep, reason;
  std::vector<std::string> args = {"in.obj"};
  double timeoutSeconds = 30;
  // Only meaningful where file permissions apply (as root the row runs the
  // converter as the user nobody).
  bool needsPermissions = false;
  // Peak memory may reach 32 MiB plus this many bytes per byte of input.
  double memoryFactor = 8;
  // Converts: the file must equal what the in-memory reader and conversion
  // give for the same text (the file is read in blocks, memory is not).
  bool sameAsInMemory = false;
  std::function<void(const obj2mesh::Model&)> check;
  // Checks the folder after the run.
  std::function<void(const fs::path&)> afterwards;

  Row withArgs(std::vector<std::string> a) const { Row r = *this; r.args = std::move(a); return r; }
  Row timeout(double seconds) const { Row r = *this; r.timeoutSeconds = seconds; return r; }
  Row permissions() const { Row r = *this; r.needsPermissions = true; return r; }
  Row memory(double factor) const { Row r = *this; r.memoryFactor = factor; return r; }
  Row meshCount(int64_t n) const { Row r = *this; r.meshes = n; return r; }
  Row inMemoryToo() const { Row r = *this; r.sameAsInMemory = true; return r; }
  Row checking(std::function<void(const obj2mesh::Model&)> f) const { Row r = *this; r.check = std::move(f); return r; }
  Row thenFolder(std::function<void(const fs::path&)> f) const { Row r = *this; r.afterwards = std::move(f); return r; }
};

Row converts(std::string name, int64_t triangles, std::function<void(const fs::path&)> setup) {
  Row row;
  row.name = std::move(name);
  row.setup = std::move(setup);
  row.triangles = triangles;
  return row;
}

Row fails(std::string name, std::string step, std::string reason, std::function<void(const fs::path&)> setup) {
  Row row;
  row.name = std::move(name);
  row.setup = std::move(setup);
  row.expect = Expect::Fails;
  row.failedStep = std::move(step);
  row.reason = std::move(reason);
  return row;
}

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }

std::string digits(size_t n, char digit) { return std::string(n, digit); }

std::function<void(const fs::path&)> objText(std::string text) {
  return [text](const fs::path& dir) { writeFile(dir / "in.obj", text); };
}

// Lines of random statements over 10,000 vertices, every index in range:
// keywords, numbers of every shape, slashes, blanks, CRs and NULs.
std::string randomStatements(size_t lines) {
  std::mt19937 random(7);
  auto pick = [&](size_t n) { return size_t(random() % n); };
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "v " + std::to_string(i) + " 1 2\nvn 0 0 1\nvt 0.5 0.5\n";
  const char* keywords[] = {"v ", "vn ", "vt ", "f ", "f ", "f ", "g ", "o ", "usemtl ", "mtllib a.mtl ", "# ", "s "};
  const char* blanks[] = {" ", "\t", "  ", "\r", " \r"};
  for (size_t l = 0; l < lines; ++l) {
    text += keywords[pick(12)];
    for (size_t w = pick(12); w > 0; --w) {
      switch (pick(8)) {
        case 0: text += std::to_string(int(pick(20001)) - 10000); break;
        case 1: text += std::to_string(pick(10000) + 1) + "/" + std::to_string(pick(10000) + 1); break;
        case 2: text += std::to_string(pick(10000) + 1) + "//" + std::to_string(pick(10000) + 1); break;
        case 3: text += std::to_string(pick(10000) + 1) + "/" + std::to_string(pick(10000) + 1) + "/" +
                        std::to_string(pick(10000) + 1); break;
        case 4: text += std::to_string(pick(1000)) + "." + std::to_string(pick(1000)) + "e" +
                        std::to_string(int(pick(80)) - 40); break;
        case 5: text += std::string(1, "abcxyz/.-+e"[pick(11)]); break;
        case 6: text += pick(2) ? std::string(1, '\0') : std::string("m") + std::to_string(pick(5)); break;
        default: text += std::to_string(pick(10000) + 1); break;
      }
      text += blanks[pick(5)];
    }
    text += pick(10) ? "\n" : "\r\n";
  }
  return text;
}

const Row kRows[] = {
    converts("random binary data", 0,
             [](const fs::path& dir) {
               std::mt19937 random(20240607);
               std::string bytes(1 << 20, '\0');
               for (char& c : bytes) c = char(random() >> 24);
               writeFile(dir / "in.obj", bytes);
             })
        .inMemoryToo(),
    converts("random statements over several read blocks", -1, objText(randomStatements(120000)))
        .inMemoryToo(),
    converts("random statements over several read blocks, separate meshes", -1, objText(randomStatements(120000)))
        .withArgs({"in.obj", "-c", "false"})
        .meshCount(-1)  // checked against the in-memory result instead
        .inMemoryToo(),
    converts("UTF-16 text with a byte-order mark", 0,
             [](const fs::path& dir) {
               // Every other byte is a NUL, which hides the rest of each line.
               std::string text = kTriangle + "f 1 2 3\n", wide = "\xff\xfe";
               for (char c : text) wide += std::string{c, '\0'};
               writeFile(dir / "in.obj", wide);
             }),
    converts("an empty file", 0, objText("")),
    converts("only blanks and NULs", 0,
             [](const fs::path& dir) {
               std::string text;
               for (int i = 0; i < 10000; ++i) text += std::string(" \t\0\0 \r\n\0", 8);
               writeFile(dir / "in.obj", text);
             }),
    fails("a directory as input", "Loading", "in.obj: cannot read: Is a directory",
          [](const fs::path& dir) { fs::create_directory(dir / "in.obj"); }),
    // The reader waits for a writer that comes late, rather than reading an
    // empty file. The writer comes once the program has the FIFO open:
    // until then, an open that does not wait fails with ENXIO.
    converts("a FIFO as input, its writer late", 1,
             [](const fs::path& dir) {
               makeFifo(dir / "in.obj");
               std::thread([fifo = dir / "in.obj"] {
                 int fd;
                 while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO)
                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                 const std::string text = kTriangle + "f 1 2 3\n";
                 if (fd >= 0 && write(fd, text.data(), text.size()) >= 0) close(fd);
               }).detach();
             })
        .timeout(10),
    fails("an unreadable file", "Loading", "in.obj: cannot open: Permission denied",
          [](const fs::path& dir) {
            writeFile(dir / "in.obj", kTriangle + "f 1 2 3\n");
            fs::permissions(dir / "in.obj", fs::perms::none);
          })
        .permissions(),
    converts("a material library that is a directory", 1,
             [](const fs::path& dir) {
               fs::create_directory(dir / "lib.mtl");
               writeFile(dir / "in.obj", "mtllib lib.mtl\nusemtl a\n" + kTriangle + "f 1 2 3\n");
             }),
    converts("a material library that is a FIFO, no writer", 1,
             [](const fs::path& dir) {
               makeFifo(dir / "lib.mtl");
               writeFile(dir / "in.obj", "mtllib lib.mtl\nusemtl a\n" + kTriangle + "f 1 2 3\n");
             })
        .timeout(10),
    fails("a material library that opens but cannot be read", "Loading", "/proc/self/mem: cannot read: Input/output error",
          objText("mtllib /proc/self/mem\n" + kTriangle + "f 1 2 3\n")),
    converts("an unreadable material library", 1,
             [](const fs::path& dir) {
               writeFile(dir / "lib.mtl", "newmtl a\n");
               fs::permissions(dir / "lib.mtl", fs::perms::none);
               writeFile(dir / "in.obj", "mtllib lib.mtl\nusemtl a\n" + kTriangle + "f 1 2 3\n");
             })
        .permissions(),
    // Parsing the library once per mtllib line would take 20,000 x 20,000
    // materials.
    converts("one large library named on 20,000 lines", 2,
             [](const fs::path& dir) {
               std::string library;
               for (int i = 0; i < 20000; ++i) library += "newmtl m" + std::to_string(i) + "\n";
               writeFile(dir / "lib.mtl", library);
               std::string text = kTriangle;
               for (int i = 0; i < 20000; ++i) text += i % 2 ? "mtllib lib.mtl\n" : "mtllib ./lib.mtl\n";
               writeFile(dir / "in.obj", text + "usemtl m7\nf 1 2 3\nusemtl m9\nf 1 2 3\n");
             })
        .timeout(10),
    converts("a face with 100,000 corners", 99998,
             [](const fs::path& dir) {
               std::string text;
               for (int i = 0; i < 100000; ++i) text += "v " + std::to_string(i) + " 0 0\n";
               text += "f";
               for (int i = 1; i <= 100000; ++i) text += " " + std::to_string(i);
               writeFile(dir / "in.obj", text + "\n");
             })
        .inMemoryToo(),
    // Two bytes per corner, each a triangle of its own: the face list, the
    // triangles and the output all grow by more than the line does.
    converts("a face of 2,000,000 corners naming one vertex", 1999998,
             [](const fs::path& dir) { writeRepeated(dir / "in.obj", "v 0 0 0\nf", " 1", 2000000, "\n"); })
        .memory(16),
    converts("a line of 50 MB", 1,
             [](const fs::path& dir) { writeRepeated(dir / "in.obj", kTriangle + "g ", "n", 50 << 20, "\nf 1 2 3\n"); })
        .inMemoryToo(),
    converts("1,000,000 short faces", 1000000,
             [](const fs::path& dir) { writeRepeated(dir / "in.obj", kTriangle, "f 1 2 3\n", 1000000, ""); }),
    converts("200,000 g lines", 1,
             [](const fs::path& dir) {
               std::string text = kTriangle;
               for (int i = 0; i < 200000; ++i) text += "g group" + std::to_string(i) + "\n";
               writeFile(dir / "in.obj", text + "f 1 2 3\n");
             }),
    // Every shape costs a record and a mesh table however little text made
    // it: files of tiny shapes are the worst case for memory per input byte.
    converts("200,000 groups of one face each, separate meshes", 200000,
             [](const fs::path& dir) {
               std::string text = kTriangle;
               for (int i = 0; i < 200000; ++i) text += "g group" + std::to_string(i) + "\nf 1 2 3\n";
               writeFile(dir / "in.obj", text);
             })
        .withArgs({"in.obj", "-c", "false"})
        .meshCount(200000),
    converts("500,000 groups of an empty face each, separate meshes", 0,
             [](const fs::path& dir) { writeRepeated(dir / "in.obj", "", "g \nf \n", 500000, ""); })
        .withArgs({"in.obj", "-c", "false"})
        .meshCount(500000),
    converts("2,000 object names of 10,000 bytes", 2000,
             [](const fs::path& dir) {
               writeRepeated(dir / "in.obj", kTriangle, "o " + std::string(10000, 'n') + "\nf 1 2 3\n", 2000, "");
             }),
    fails("an input link that loops", "Loading", "in.obj: cannot open: Too many levels of symbolic links",
          [](const fs::path& dir) { fs::create_symlink("in.obj", dir / "in.obj"); }),
    fails("index 2147483647 names no vertex", "Loading",
          "in.obj:4: face corner names vertex 2147483647, but only 3 are defined", objText(kTriangle + "f 1 2 2147483647\n")),
    fails("index -2147483648 names no vertex", "Loading", "in.obj:4: ", objText(kTriangle + "f 1 2 -2147483648\n")),
    fails("index 2147483648 is beyond 32 bits", "Loading", "in.obj:4: ", objText(kTriangle + "f 1 2 2147483648\n")),
    fails("texture index -2147483649 is beyond 32 bits", "Loading", "in.obj:4: ",
          objText(kTriangle + "f 1 2 3/-2147483649\n")),
    fails("an index of 40 digits", "Loading", "in.obj:4: ", objText(kTriangle + "f 1 2 " + digits(40, '9') + "\n")),
    converts("normal index 2147483647 names nothing", 1,
             objText(kTriangle + "vn 0 0 1\nf 1//2147483647 2//1 3//-2147483648\n"))
        .checking([](const obj2mesh::Model& model) { EXPECT_EQ(model.meshes()->Get(0)->normals()->size(), 1u); }),
    converts("exponents of thousands of digits", 1,
             objText("v 1e" + digits(5000, '9') + " 1e-" + digits(5000, '9') + " -0e" + digits(5000, '9') +
                     "\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"))
        .checking([](const obj2mesh::Model& model) {
          const obj2mesh::Vec3* first = model.meshes()->Get(0)->positions()->Get(0);
          EXPECT_TRUE(std::isinf(first->x()) && first->x() > 0);
          EXPECT_EQ(first->y(), 0.0f);
          EXPECT_TRUE(first->z() == 0.0f && std::signbit(first->z()));
        }),
    // Saving renames a temporary file over the output path, which would
    // replace the node itself (as root, through a link, even /dev/null).
    // Every file the run read is input, a material library too.
    fails("the output is a material library the input names", "Saving",
          "lib.mesh: is the input file; refusing to overwrite it",
          [](const fs::path& dir) {
            writeFile(dir / "in.obj", "mtllib lib.mesh\n" + kTriangle + "f 1 2 3\n");
            writeFile(dir / "lib.mesh", "newmtl a\n");
          })
        .withArgs({"in.obj", "-o", "lib.mesh"})
        .thenFolder([](const fs::path& dir) { EXPECT_EQ(readFile(dir / "lib.mesh"), "newmtl a\n"); }),
    fails("an output path that is a FIFO", "Saving", "out.mesh: cannot write: not a regular file",
          [](const fs::path& dir) {
            writeFile(dir / "in.obj", kTriangle + "f 1 2 3\n");
            makeFifo(dir / "out.mesh");
          })
        .withArgs({"in.obj", "-o", "out.mesh"})
        .timeout(10)
        .thenFolder([](const fs::path& dir) { EXPECT_TRUE(fs::is_fifo(dir / "out.mesh")); }),
    fails("an output path that links to a FIFO", "Saving", "link.mesh: cannot write: not a regular file",
          [](const fs::path& dir) {
            writeFile(dir / "in.obj", kTriangle + "f 1 2 3\n");
            makeFifo(dir / "fifo");
            fs::create_symlink("fifo", dir / "link.mesh");
          })
        .withArgs({"in.obj", "-o", "link.mesh"})
        .timeout(10)
        .thenFolder([](const fs::path& dir) { EXPECT_TRUE(fs::is_fifo(dir / "fifo")); }),
    fails("an output folder without write permission", "Saving",
          "ro/out.mesh: cannot create a file in folder 'ro': Permission denied",
          [](const fs::path& dir) {
            writeFile(dir / "in.obj", kTriangle + "f 1 2 3\n");
            fs::create_directory(dir / "ro");
            fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
          })
        .withArgs({"in.obj", "-o", "ro/out.mesh"})
        .permissions(),
};

std::string finalLine(const std::string& text) {
  size_t end = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
  size_t start = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1);
}

uint64_t bytesUnder(const fs::path& dir) {
  uint64_t total = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir))
    if (std::error_code error; entry.is_regular_file(error)) total += entry.file_size();
  return total;
}

class HostileInput : public ::testing::TestWithParam<Row> {};

TEST_P(HostileInput, HasItsExpectedOutcome) {
  const Row& row = GetParam();
  TempDir work;
  const fs::path& dir = work.path();
  RunOptions options;
  options.timeoutSeconds = row.timeoutSeconds * kSlowdown;
  options.measurePeak = true;
  if (row.needsPermissions && geteuid() == 0) {
    // Root ignores file permissions: the converter runs as nobody, which
    // must be able to reach the folder and write in it.
    options.asNobody = true;
    fs::permissions(dir, fs::perms::all);
  }
  row.setup(dir);
  const uint64_t inputBytes = bytesUnder(dir);
  const std::set<std::string> before = listing(dir);

  RunOutcome run = runProgram(dir, row.args, options);
  if (run.couldNotDropPrivileges) GTEST_SKIP() << "cannot run as nobody here, and root ignores permissions";
  ASSERT_FALSE(run.timedOut) << "no end after " << row.timeoutSeconds * kSlowdown << " s";
  ASSERT_EQ(run.signal, 0) << "killed by signal " << run.signal << "\nstderr: " << run.err;

  std::printf("[  memory  ] %s: input %llu bytes, peak %ld KiB\n", row.name.c_str(), (unsigned long long)inputBytes,
              run.peakKiB);
  RecordProperty("input_bytes", std::to_string(inputBytes));
  RecordProperty("peak_kib", std::to_string(run.peakKiB));
  if (kMeasureMemory && run.peakKiB > 0) {
    // The converter starts at a few MiB; above that, a row may only use
    // its factor's bytes of memory per byte of input.
    const uint64_t limit = (uint64_t(32) << 20) + uint64_t(row.memoryFactor * double(inputBytes));
    EXPECT_LE(uint64_t(run.peakKiB) * 1024, limit) << "input " << inputBytes << " bytes";
  }

  if (row.expect == Expect::Converts) {
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    std::string output = row.args.size() >= 3 && row.args[1] == "-o" ? row.args[2] : "in.mesh";
    EXPECT_NE(run.out.find("Saving to '" + output + "'... complete\n"), std::string::npos) << run.out;
    const std::string bytes = readFile(dir / output);
    const obj2mesh::Model* model = verifiedModel(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ASSERT_NE(model, nullptr);
    if (row.meshes >= 0) {
      EXPECT_EQ(int64_t(model->meshes()->size()), row.meshes);
    }
    int64_t triangles = 0;
    for (const obj2mesh::Mesh* mesh : *model->meshes()) triangles += mesh->indices()->size() / 3;
    if (row.triangles >= 0) {
      EXPECT_EQ(triangles, row.triangles);
    }
    std::printf("[  result  ] %s: %u meshes, %lld triangles\n", row.name.c_str(), model->meshes()->size(),
                (long long)triangles);
    if (row.check) row.check(*model);
    if (row.sameAsInMemory) {
      bool combine = std::find(row.args.begin(), row.args.end(), "false") == row.args.end();
      std::vector<uint8_t> expected = convertText(readFile(dir / "in.obj"), combine);
      EXPECT_TRUE(expected.size() == bytes.size() && std::memcmp(expected.data(), bytes.data(), bytes.size()) == 0)
          << "the file differs from the in-memory conversion";
    }
  } else {
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    // The progress line of the step that failed is the last one.
    const std::string lastLine = finalLine(run.out);
    EXPECT_EQ(lastLine.compare(0, row.failedStep.size(), row.failedStep), 0) << run.out;
    EXPECT_EQ(lastLine.substr(lastLine.size() - strlen("failed\n")), "failed\n") << run.out;
    const std::string prefix = std::string("obj2mesh: ") + row.reason;
    EXPECT_EQ(run.err.compare(0, prefix.size(), prefix), 0) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(listing(dir), before) << "the run left a file behind";
  }
  if (row.afterwards) row.afterwards(dir);
}

// A row's name in letters, digits and underscores; the sign of a negative
// number is "minus" ("UTF-16" is UTF_16, "-2147483648" minus2147483648).
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name;
  const std::string& text = info.param.name;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += c;
    else if (c == '-' && (i == 0 || text[i - 1] == ' ') && i + 1 < text.size() &&
             std::isdigit(static_cast<unsigned char>(text[i + 1])))
      name += "minus";
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInput, ::testing::ValuesIn(kRows), rowName);

// An input that never ends a line after a NUL keeps nothing of it: reading
// /dev/zero, as the file or as its material library, runs in constant
// memory (here within 64 MiB of address space) until it is interrupted,
// and leaves no file.
TEST(EndlessInput, ReadsInConstantMemoryUntilInterrupted) {
  for (const std::string input : {"/dev/zero", "zero-library.obj"}) {
    SCOPED_TRACE(input);
    TempDir work;
    writeFile(work.path() / "zero-library.obj", "mtllib /dev/zero\n" + kTriangle + "f 1 2 3\n");
    RunOptions options;
    options.timeoutSeconds = 1.5 * kSlowdown;
    if (kMeasureMemory) options.addressSpaceLimit = 64 << 20;
    RunOutcome run = runProgram(work.path(), {input, "-o", "out.mesh"}, options);
    EXPECT_TRUE(run.timedOut) << "ended with " << run.exitCode << ": " << run.err;
    EXPECT_EQ(listing(work.path()), std::set<std::string>{"zero-library.obj"});
  }
}

}  // namespace
