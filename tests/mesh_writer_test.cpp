// The safe writer in both of its ways to make the new file: unnamed until
// complete, or under a hidden name that a program's signal handler removes.
// A run that ends while the file is being written leaves no part of it.

#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

#include "mesh_writer.h"
#include "process_support.h"
#include "test_support.h"

namespace {

const std::string kLongest(250, 'n');  // with ".mesh", the longest legal name

struct WriterCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> before;  // name, content ("->x" for a link to x)
  std::string path;    // written through
  std::string target;  // the file that holds the bytes afterwards
};

void PrintTo(const WriterCase& c, std::ostream* out) { *out << '"' << c.what << '"'; }

const WriterCase kWriterCases[] = {
    {"a new file", {}, "out.mesh", "out.mesh"},
    {"over an existing file", {{"out.mesh", "old"}}, "out.mesh", "out.mesh"},
    {"the longest legal name", {}, kLongest + ".mesh", kLongest + ".mesh"},
    {"over a file of the longest legal name", {{kLongest + ".mesh", "old"}}, kLongest + ".mesh", kLongest + ".mesh"},
    {"through a link to an existing file", {{"t.bin", "old"}, {"out.mesh", "->t.bin"}}, "out.mesh", "t.bin"},
    {"through a dangling link", {{"out.mesh", "->t.bin"}}, "out.mesh", "t.bin"},
};

class Writer : public testing::TestWithParam<std::tuple<WriterCase, TemporaryFile>> {};

// The bytes arrive whole, the folder holds nothing else, and a new file
// has the mode 0666 less the umask.
TEST_P(Writer, PlacesTheWholeFile) {
  const auto& [c, kind] = GetParam();
  TempDir dir;
  for (const auto& [name, content] : c.before) {
    if (content.rfind("->", 0) == 0)
      fs::create_symlink(content.substr(2), dir.path() / name);
    else
      writeFile(dir.path() / name, content);
  }
  Tree want = snapshot(dir.path());
  const std::string bytes(100000, 'm');
  want[c.target] = "file:" + bytes;
  const mode_t mask = umask(027);
  std::optional<Failure> failure = writeMeshFileVia(kind, (dir.path() / c.path).string(),
                                                    reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), {});
  umask(mask);
  ASSERT_FALSE(failure) << failure->reason;
  EXPECT_EQ(treeDifference(want, snapshot(dir.path())), "");
  EXPECT_EQ(fs::status(dir.path() / c.target).permissions() & fs::perms::all, fs::perms(0640));
}

// Eight threads write at once, each to a path of its own and all to one
// shared path: every file is whole, the shared one holds one thread's
// bytes, and nothing else is left.
TEST(Writer, ManyThreadsAtOnce) {
  for (TemporaryFile kind : {TemporaryFile::Unnamed, TemporaryFile::Named}) {
    TempDir dir;
    writeFile(dir.path() / "shared.mesh", "old");
    std::vector<std::string> contents;
    for (char c = 'a'; c < 'a' + 8; ++c) contents.push_back(std::string(size_t(200000), c));
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (size_t i = 0; i < contents.size(); ++i)
      threads.emplace_back([&, i] {
        const auto* bytes = reinterpret_cast<const uint8_t*>(contents[i].data());
        for (const std::string& name : {"own" + std::to_string(i) + ".mesh", std::string("shared.mesh")})
          failed += bool(writeMeshFileVia(kind, (dir.path() / name).string(), bytes, contents[i].size(), {}));
      });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failed, 0);
    Tree want;
    for (size_t i = 0; i < contents.size(); ++i) want["own" + std::to_string(i) + ".mesh"] = "file:" + contents[i];
    const std::string shared = readFile(dir.path() / "shared.mesh");
    EXPECT_NE(std::find(contents.begin(), contents.end(), shared), contents.end());
    want["shared.mesh"] = "file:" + shared;
    EXPECT_EQ(treeDifference(want, snapshot(dir.path())), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Writer,
                         testing::Combine(testing::ValuesIn(kWriterCases),
                                          testing::Values(TemporaryFile::Unnamed, TemporaryFile::Named)),
                         [](const auto& info) {
                           return testName(std::get<0>(info.param).what) +
                                  (std::get<1>(info.param) == TemporaryFile::Unnamed ? "Unnamed" : "Named");
                         });

int pendingSignal = 0;
void raisePendingSignal() { raise(pendingSignal); }
// A program's handler: the temporary files go, then the signal ends it.
void removeAndRaise(int signal) {
  removeTemporaryMeshFiles();
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// A child process, with a handler of its own, is stopped by `signal` once
// its temporary file exists, over an existing output; the folder must be as
// it was. With `ignored`, the signal is ignored and the write completes.
void interruptWrite(TemporaryFile kind, int signal, bool ignored) {
  TempDir dir;
  writeFile(dir.path() / "out.mesh", "old");
  const std::string path = (dir.path() / "out.mesh").string();
  pid_t pid = fork();
  if (pid == 0) {
    ::signal(signal, ignored ? SIG_IGN : removeAndRaise);
    pendingSignal = signal;
    afterTemporaryCreated = raisePendingSignal;
    const uint8_t bytes[] = {1, 2, 3};
    _exit(writeMeshFileVia(kind, path, bytes, sizeof bytes, {}) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (ignored) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readFile(path), std::string("\1\2\3"));
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(readFile(path), "old");
  }
  EXPECT_EQ(treeDifference(Tree{{"out.mesh", "file:" + readFile(path)}}, snapshot(dir.path())), "");
}

TEST(Writer, AnInterruptedWriteLeavesNothing) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    interruptWrite(TemporaryFile::Named, signal, false);
    interruptWrite(TemporaryFile::Named, signal, true);
  }
  interruptWrite(TemporaryFile::Unnamed, SIGKILL, false);
  interruptWrite(TemporaryFile::Unnamed, SIGTERM, false);
}

// Where the new file could fail to reach the disk, the failure comes before
// it takes the output's name: the old file stays, and nothing else is left.
TEST(Writer, AFailedSyncLeavesTheOldFile) {
  for (TemporaryFile kind : {TemporaryFile::Unnamed, TemporaryFile::Named}) {
    TempDir dir;
    writeFile(dir.path() / "out.mesh", "old");
    syncFile = [](int) {
      errno = EIO;
      return -1;
    };
    const uint8_t bytes[] = {1, 2, 3};
    const std::optional<Failure> failure = writeMeshFileVia(kind, (dir.path() / "out.mesh").string(), bytes, 3, {});
    syncFile = fdatasync;
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->reason, "cannot write: Input/output error");
    EXPECT_EQ(treeDifference(Tree{{"out.mesh", "file:old"}}, snapshot(dir.path())), "");
  }
}

// A path of 4,090 bytes, every name in it legal, is written and then
// replaced: the temporary name never makes the path longer.
TEST(Writer, ALongPathTwice) {
  for (TemporaryFile kind : {TemporaryFile::Unnamed, TemporaryFile::Named}) {
    TempDir dir;
    fs::path path = dir.path();
    while (path.string().size() < 4090 - 260) path /= std::string(200, 'd');
    path /= std::string(4090 - path.string().size() - 6, 'n') + ".mesh";
    fs::create_directories(path.parent_path());
    ASSERT_EQ(path.string().size(), 4090u);
    for (const uint8_t byte : {uint8_t(1), uint8_t(2)}) {
      const std::optional<Failure> failure = writeMeshFileVia(kind, path.string(), &byte, 1, {});
      ASSERT_FALSE(failure) << failure->reason;
      EXPECT_EQ(readFile(path), std::string(1, char(byte)));
    }
  }
}

// Every file the load read is input, as it was when read: the OBJ file
// through a link that was switched after the load, and a material library.
TEST(Writer, NeverReplacesAFileTheLoadRead) {
  TempDir dir;
  const std::string triangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  writeFile(dir.path() / "victim.mesh", triangle);
  writeFile(dir.path() / "other.obj", triangle);
  writeFile(dir.path() / "lib.mesh", "newmtl a\n");
  writeFile(dir.path() / "model.obj", "mtllib lib.mesh\n" + triangle);
  fs::create_symlink("victim.mesh", dir.path() / "in.obj");
  const ConvertResult read = convertObjFile((dir.path() / "in.obj").string());
  ASSERT_TRUE(read.ok());
  fs::remove(dir.path() / "in.obj");
  fs::create_symlink("other.obj", dir.path() / "in.obj");
  LoadOptions beside;
  beside.materials = materialsFrom(dir.path().string());
  const ConvertResult withLibrary = convertObjFile((dir.path() / "model.obj").string(), {}, beside);
  ASSERT_TRUE(withLibrary.ok());
  const Tree before = snapshot(dir.path());
  for (const auto& [output, result] : {std::pair{"victim.mesh", &read}, {"lib.mesh", &withLibrary}}) {
    const std::optional<Failure> failure = writeMeshFile((dir.path() / output).string(), *result);
    ASSERT_TRUE(failure) << output;
    EXPECT_EQ(failure->reason, "is the input file; refusing to overwrite it");
  }
  EXPECT_EQ(treeDifference(before, snapshot(dir.path())), "");
}

}  // namespace
