// Runs that do not end normally, end to end: the program sent signals at
// random moments, with an unnamed temporary file and with a named one, run
// under address-space limits from too small to enough, and with each of its
// allocations failing in turn. Whatever happens, the output folder holds
// the old output (or none) or the complete new file, and nothing else.

#include <sys/resource.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <set>

#include "process_support.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define INTERRUPTION_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define INTERRUPTION_SANITIZED 1
#endif
#endif

namespace {

const char kStrace[] = "/usr/bin/strace";
const char kUnshare[] = "/usr/bin/unshare";

// A grid of quads with normals, in groups of rows: about 3 MB of text.
std::string gridText() {
  const int n = 180;
  std::string text;
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i)
      text += "v " + std::to_string(i * 0.25) + " " + std::to_string(j * 0.5) + " " + std::to_string((i ^ j) % 7) +
              "\nvn 0 0 1\n";
  for (int j = 0; j < n; ++j) {
    if (j % 20 == 0) text += "g rows" + std::to_string(j) + "\n";
    for (int i = 0; i < n; ++i) {
      auto corner = [&](int di, int dj) {
        const std::string v = std::to_string((j + dj) * (n + 1) + i + di + 1);
        return v + "//" + v;
      };
      text += "f " + corner(0, 0) + " " + corner(1, 0) + " " + corner(1, 1) + " " + corner(0, 1) + "\n";
    }
  }
  return text;
}

// A fresh folder holding the input (a hard link to the one shared copy)
// and, when `old` is not empty, an output file with that content.
fs::path runFolder(const fs::path& root, const std::string& name, const std::string& old) {
  const fs::path folder = root / name;
  fs::create_directory(folder);
  fs::create_hard_link(root / "input.obj", folder / "in.obj");
  if (!old.empty()) writeFile(folder / "out.mesh", old);
  return folder;
}

std::set<std::string> names(const fs::path& folder) {
  std::set<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) found.insert(entry.path().filename());
  return found;
}

// The folder holds the input and either `old` (none when empty) or the
// complete new output, and nothing else.
void expectOldOrNew(const fs::path& folder, const std::string& old, const std::string& fresh) {
  const std::set<std::string> found = names(folder);
  if (!found.count("out.mesh")) {
    EXPECT_EQ(found, std::set<std::string>{"in.obj"});
    EXPECT_TRUE(old.empty()) << "the old output is gone";
    return;
  }
  EXPECT_EQ(found, (std::set<std::string>{"in.obj", "out.mesh"}));
  const std::string out = readFile(folder / "out.mesh");
  EXPECT_TRUE(out == fresh || (!old.empty() && out == old))
      << "out.mesh holds " << out.size() << " bytes: neither the old output nor the new one";
}

std::string commandOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// The converter that strace started, once it runs (0 before).
pid_t tracee(pid_t strace) {
  std::ifstream children("/proc/" + std::to_string(strace) + "/task/" + std::to_string(strace) + "/children");
  pid_t pid = 0;
  return children >> pid && commandOf(strace) == "strace" && commandOf(pid) == "obj2mesh" ? pid : 0;
}

// The kill runs with each kind of temporary file: unnamed, or, in a mount
// namespace of its own with an empty file system over /proc, the hidden
// named file the library falls back to.
struct KillCase {
  const char* what;
  bool named;
};

const KillCase kKillCases[] = {{"UnnamedTemporaryFile", false}, {"NamedTemporaryFile", true}};

class Kills : public testing::TestWithParam<KillCase> {};

// Runs sent one signal each: every signal, at a random moment of the whole
// run or of the writing step, half of them over an existing output. strace
// holds every write open for 40 ms, so that the writing step lasts. A
// signal that ends the run leaves the old output or the new one; SIGPIPE,
// which the program ignores, leaves a complete run. SIGKILL cannot be
// caught, so a named temporary file would outlive it: the named runs
// leave it out.
TEST_P(Kills, ASignalLeavesTheOldOutputOrTheNewOne) {
  if (access(kStrace, X_OK) != 0) GTEST_SKIP() << kStrace << " is not installed";
  const bool named = GetParam().named;
  TempDir work;
  writeFile(work.path() / "input.obj", gridText());
  const fs::path reference = runFolder(work.path(), "reference", "");
  ASSERT_EQ(runProgram(reference, {"in.obj", "-o", "out.mesh"}).exitCode, 0);
  const std::string fresh = readFile(reference / "out.mesh");

  RunOptions options;
  // Only the writes stop in strace, so the other calls take their usual
  // time.
  options.prefix = {kStrace, "-f", "--seccomp-bpf", "-qq", "-o", "/dev/null", "-e", "trace=write", "-e",
                    "inject=write:delay_enter=40000"};
  // LeakSanitizer cannot stop a process that strace traces, so a run that
  // ends normally would abort at exit; the other tests check for leaks.
  if (const char* sanitizer = std::getenv("ASAN_OPTIONS"))
    options.environment.push_back(std::string("ASAN_OPTIONS=") + sanitizer + ":detect_leaks=0");
  if (named) {
    const std::vector<std::string> noProc = {
        kUnshare, "-m", "sh", "-c", "mount -t tmpfs none /proc && test ! -e /proc/self/fd && exec \"$@\"", "sh"};
    RunOptions probe;
    probe.prefix = noProc;
    if (access(kUnshare, X_OK) != 0 || runProgram(work.path(), {}, probe).exitCode != 0)
      GTEST_SKIP() << "no mount namespace with /proc hidden";
    options.prefix.insert(options.prefix.begin(), noProc.begin(), noProc.end());
  }
  auto started = std::chrono::steady_clock::now();
  runProgram(runFolder(work.path(), "timing", ""), {"in.obj", "-o", "out.mesh"}, options);
  const double wholeRun = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::mt19937 random(11);
  std::vector<int> signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGXCPU, SIGPIPE};
  if (!named) signals.push_back(SIGKILL);
  int run = 0, killed = 0, pipes = 0;
  for (int round = 0; round < 3; ++round) {
    for (int signal : signals) {
      for (bool duringWrite : {false, true}) {
        const std::string old = run % 2 ? "the old output" : "";
        const fs::path folder = runFolder(work.path(), "run" + std::to_string(run++), old);
        SCOPED_TRACE(folder.filename().string() + ": signal " + std::to_string(signal) +
                     (duringWrite ? " while writing" : "") + (old.empty() ? "" : " over an old output"));
        // The moment, counted from the start of the run or from the
        // "Saving to" line.
        const double delay = std::uniform_real_distribution<double>(0, duringWrite ? 0.08 : wholeRun)(random);
        const auto start = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> from;
        bool sent = false;
        options.whileRunning = [&](pid_t pid, const std::string& out) {
          if (!from && (!duringWrite || out.find("Saving to '") != std::string::npos))
            from = duringWrite ? std::chrono::steady_clock::now() : start;
          if (sent || !from || std::chrono::steady_clock::now() - *from < std::chrono::duration<double>(delay)) return;
          // SIGPIPE waits for the first progress, which the program prints
          // once it has set up its signals.
          const pid_t converter = tracee(pid);
          if (converter && (signal != SIGPIPE || !out.empty())) sent = kill(converter, signal) == 0;
        };
        RunOutcome outcome = runProgram(folder, {"in.obj", "-o", "out.mesh"}, options);
        ASSERT_FALSE(outcome.timedOut);
        if (signal == SIGPIPE) {
          pipes += sent;
          EXPECT_EQ(outcome.exitCode, 0) << "signal " << outcome.signal;
          EXPECT_TRUE(readFile(folder / "out.mesh") == fresh);
        }
        killed += outcome.exitCode != 0;
        expectOldOrNew(folder, old, fresh);
      }
    }
  }
  // Most runs end before their output is complete.
  EXPECT_GT(killed, run / 2);
  EXPECT_GT(pipes, 0) << "no SIGPIPE was sent";
}

INSTANTIATE_TEST_SUITE_P(Cases, Kills, testing::ValuesIn(kKillCases), ByWhat());

// The same conversion under address-space limits from too small for any
// conversion to enough: it converts completely, or it fails its step with
// exit status 1 and one line on standard error, leaving no file; it is
// never ended by a signal.
TEST(Interruption, RunningOutOfMemoryIsAnOrdinaryFailure) {
#ifdef INTERRUPTION_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits allow";
#endif
  TempDir work;
  writeFile(work.path() / "input.obj", gridText());
  const fs::path reference = runFolder(work.path(), "reference", "");
  ASSERT_EQ(runProgram(reference, {"in.obj", "-o", "out.mesh"}).exitCode, 0);
  const std::string fresh = readFile(reference / "out.mesh");

  int converted = 0, failed = 0;
  for (long long limit = 4 << 20; limit <= (256 << 20); limit += limit / 3) {
    RunOptions options;
    options.addressSpaceLimit = limit;
    // Below some limit not even the dynamic loader gets the program going.
    if (runProgram(work.path(), {}, options).exitCode != 0) continue;
    const fs::path folder = runFolder(work.path(), "limit" + std::to_string(limit >> 10), "");
    SCOPED_TRACE(std::to_string(limit >> 10) + " KiB of address space");
    RunOutcome outcome = runProgram(folder, {"in.obj", "-o", "out.mesh"}, options);
    ASSERT_EQ(outcome.signal, 0) << outcome.err;
    if (outcome.exitCode == 0) {
      ++converted;
      EXPECT_TRUE(readFile(folder / "out.mesh") == fresh);
    } else {
      ++failed;
      EXPECT_EQ(outcome.exitCode, 1);
      EXPECT_EQ(outcome.out.substr(outcome.out.size() - std::min<size_t>(outcome.out.size(), 7)), "failed\n")
          << outcome.out;
      EXPECT_TRUE(outcome.err == "obj2mesh: in.obj: out of memory\n" ||
                  outcome.err == "obj2mesh: out.mesh: out of memory\n")
          << outcome.err;
    }
    expectOldOrNew(folder, "", fresh);
  }
  EXPECT_GT(converted, 0);
  EXPECT_GT(failed, 0);
}

// Each allocation of a run fails in turn, alone and for good (with every
// later one), counted from the start of main by a preloaded library. The
// paths are too long to be stored inside a string, so copying them
// allocates too. The run converts completely, or it fails with exit status
// 1: the progress lines end in "failed" on the line of the step that
// failed (when that step had not begun, its line comes first), and one
// line on standard error names the path that step concerns. No file is
// left but the complete output.
TEST(Interruption, EveryFailedAllocationFailsAStepThatNamesItsPath) {
#ifdef INTERRUPTION_SANITIZED
  GTEST_SKIP() << "the sanitizers' allocator cannot be preloaded behind";
#endif
  TempDir work;
  const std::string input = "the-model-to-convert.obj", output = "the-converted-model.mesh";
  std::string text = "mtllib the-materials.mtl\n";
  for (int i = 0; i < 60; ++i) {
    text += "v " + std::to_string(i) + " " + std::to_string(i * i % 7) + " 0\nvt 0 " + std::to_string(i) + "\n";
    if (i % 20 == 0) text += "g part" + std::to_string(i) + "\nusemtl m" + std::to_string(i % 2) + "\n";
    if (i >= 2) text += "f " + std::to_string(i - 1) + "/1 " + std::to_string(i) + "/2 " + std::to_string(i + 1) + "/3\n";
  }
  const fs::path reference = work.path() / "reference";
  fs::create_directory(reference);
  writeFile(reference / input, text);
  writeFile(reference / "the-materials.mtl", "newmtl m0\nnewmtl m1\n");
  const std::vector<std::string> args = {input, "-o", "the-converted-model.obj"};
  RunOutcome whole = runProgram(reference, args);
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const std::string fresh = readFile(reference / output);
  fs::remove(reference / output);

  // Standard output and standard error when Loading, Converting or Saving
  // fails.
  const std::string starts[] = {"Loading '" + input + "'... ", "Converting... ",
                                "Changed output type to '.mesh'\nSaving to '" + output + "'... "};
  std::map<std::string, std::string> failures;
  std::string before;
  for (int step = 0; step < 3; ++step) {
    failures[before + starts[step] + "failed\n"] = "obj2mesh: " + (step < 2 ? input : output) + ": out of memory\n";
    before += starts[step] + "complete\n";
  }
  std::set<std::string> failedSteps;
  RunOptions options;
  for (long n = 1; n < 100000; ++n) {
    bool finished = false;
    for (const char* times : {"", "+"}) {
      SCOPED_TRACE("allocation " + std::to_string(n) + times);
      const fs::path folder = work.path() / ("run" + std::to_string(n) + times);
      fs::copy(reference, folder);
      options.environment = {"LD_PRELOAD=" OBJ2MESH_FAILING_ALLOCATION, "FAILING_ALLOCATION=" + std::to_string(n) + times};
      RunOutcome r = runProgram(folder, args, options);
      ASSERT_EQ(r.signal, 0) << r.err;
      std::set<std::string> want = {input, "the-materials.mtl"};
      if (r.exitCode == 0) {
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(readFile(folder / output) == fresh);
        want.insert(output);
        finished = *times == '+';
      } else {
        EXPECT_EQ(r.exitCode, 1);
        auto it = failures.find(r.out);
        ASSERT_NE(it, failures.end()) << r.out;
        EXPECT_EQ(r.err, it->second);
        failedSteps.insert(r.out);
      }
      EXPECT_EQ(names(folder), want);
      fs::remove_all(folder);
    }
    // Once every allocation from the nth on can fail, no later one counts.
    if (finished) break;
  }
  EXPECT_EQ(failedSteps.size(), 3u) << "not every step failed";
}

}  // namespace
