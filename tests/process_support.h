#pragma once

// Helpers for the suites that run the built obj2mesh executable: a private
// temporary folder per case, a child process with a chosen argv[0] whose
// standard output and standard error are captured separately, and a snapshot
// of a folder tree to tell exactly which files a run left behind.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct RunOutcome {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, if any
};

struct RunOptions {
  std::string argv0 = "obj2mesh";
  // When >= 0, the child's RLIMIT_FSIZE in bytes (with SIGXFSZ ignored, so
  // an oversized write fails with EFBIG instead of killing it).
  long long fileSizeLimit = -1;
};

inline std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;)
    if (n > 0) text.append(buffer, size_t(n));
    else if (errno != EINTR) break;
  close(fd);
  return text;
}

// Runs OBJ2MESH_EXE in `cwd` with `args` after argv[0]. Standard input is
// /dev/null; the umask is 022 so that the mode of created files is known.
// The program writes a few lines at most, so the pipes are read in turn.
inline RunOutcome runProgram(const fs::path& cwd, const std::vector<std::string>& args,
                             const RunOptions& options = {}) {
  RunOutcome outcome;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return outcome;
  }
  std::vector<std::string> storage{options.argv0};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::string dir = cwd.string();
  pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0) _exit(126);
    if (chdir(dir.c_str()) != 0) _exit(126);
    umask(022);
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    alarm(60);  // a hung converter ends with SIGALRM instead of hanging the suite
    execv(OBJ2MESH_EXE, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  outcome.out = drain(outPipe[0]);
  outcome.err = drain(errPipe[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) ADD_FAILURE() << "fork or wait: " << std::strerror(errno);
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

// A fresh folder under the temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "obj2mesh-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Every entry under `root` by relative path: "dir", "link:<target>" or
// "file:<bytes>". Links are not followed, so a link that a run replaced by a
// file, or a stray temporary file, shows as a difference.
using Tree = std::map<std::string, std::string>;

inline Tree snapshot(const fs::path& root) {
  Tree tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    std::string rel = entry.path().lexically_relative(root).string();  // fs::relative would follow links
    if (entry.is_symlink())
      tree[rel] = "link:" + fs::read_symlink(entry.path()).string();
    else
      tree[rel] = entry.is_directory() ? "dir" : "file:" + readFile(entry.path());
  }
  return tree;
}

// Names the first difference between two snapshots, or "" when equal.
inline std::string treeDifference(const Tree& want, const Tree& got) {
  for (const auto& [rel, what] : got) {
    auto it = want.find(rel);
    if (it == want.end()) return "unexpected " + rel;
    if (it->second != what) return "changed " + rel;
  }
  for (const auto& entry : want)
    if (!got.count(entry.first)) return "missing " + entry.first;
  return "";
}
