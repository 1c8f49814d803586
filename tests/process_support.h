#pragma once

// Helpers for the suites that run the built obj2mesh executable: a private
// temporary folder per case, a child process whose standard output and
// standard error are captured separately (with a time limit, optionally
// without root's privileges and with its peak memory measured), and a
// snapshot of a folder tree to tell exactly which files a run left behind.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
  bool timedOut = false;
  bool couldNotDropPrivileges = false;
  long peakKiB = 0;  // peak resident set size with measurePeak; 0 if unknown
};

struct RunOptions {
  // The built program to run; OBJ2MESH_EXE when empty.
  std::string program;
  std::string argv0 = "obj2mesh";
  // When >= 0, the child's RLIMIT_FSIZE in bytes.
  long long fileSizeLimit = -1;
  // When >= 0, the child's RLIMIT_AS in bytes.
  long long addressSpaceLimit = -1;
  // A command the program runs under (strace, say); argv0 is then the
  // program's path.
  std::vector<std::string> prefix;
  // Called every few milliseconds while the child runs, with its process
  // id and what it printed so far on standard output.
  std::function<void(pid_t, const std::string&)> whileRunning;
  double timeoutSeconds = 60;  // then the child is killed
  // "NAME=value" entries added to the child's environment.
  std::vector<std::string> environment;
  // Standard output is a pipe whose reading end is closed before the child
  // starts, so that every write to it fails (EPIPE, and SIGPIPE).
  bool closedStdout = false;
  // As root, run the child as the user nobody, so that file permissions
  // apply to it.
  bool asNobody = false;
  // Measure the child's peak memory through /usr/bin/time (argv[0] is then
  // the executable's path). A process keeps the peak of the process it was
  // forked from through exec, so a child forked from this (large) test
  // process would report the test's own size; time is small.
  bool measurePeak = false;
};

inline std::string readBack(int fd) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += n) text.append(buffer, size_t(n));
  close(fd);
  return text;
}

// The executable where the user nobody can run it: a copy in a
// world-readable folder of its own, as the build tree may lie in a folder
// only root can enter. Removed when the test process ends.
inline const std::string& executableForNobody() {
  struct Copy {
    std::string folder, path;
    Copy() {
      char pattern[] = "/tmp/obj2mesh-exe-XXXXXX";
      if (!mkdtemp(pattern)) return;
      folder = pattern;
      path = folder + "/obj2mesh";
      std::error_code error;
      fs::copy_file(OBJ2MESH_EXE, path, error);
      if (error || chmod(folder.c_str(), 0755) != 0 || chmod(path.c_str(), 0755) != 0) path.clear();
    }
    ~Copy() {
      std::error_code ignored;
      if (!folder.empty()) fs::remove_all(folder, ignored);
    }
  };
  static const Copy copy;
  static const std::string built = OBJ2MESH_EXE;
  return copy.path.empty() ? built : copy.path;
}

// Reads both pipes until they end; false when the deadline passed first.
inline bool drainUntil(int outFd, int errFd, std::string& out, std::string& err,
                       std::chrono::steady_clock::time_point deadline,
                       const std::function<void(const std::string&)>& whileRunning) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* into[2] = {&out, &err};
  int open = (outFd >= 0) + (errFd >= 0);
  while (open > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (poll(fds, 2, 2) < 0 && errno != EINTR) return false;
    if (whileRunning) whileRunning(out);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

// Runs OBJ2MESH_EXE in `cwd` with `args` after argv[0], in a process group
// of its own. Standard input is /dev/null; standard output and standard
// error are captured separately; the umask is 022 so that the mode of
// created files is known, and no core file is written.
inline RunOutcome runProgram(const fs::path& cwd, const std::vector<std::string>& args,
                             const RunOptions& options = {}) {
  constexpr uid_t kNobody = 65534;
  constexpr const char* kTime = "/usr/bin/time";
  RunOutcome outcome;
  const bool timed = options.measurePeak && access(kTime, X_OK) == 0;
  char peakPath[] = "/tmp/obj2mesh-peak-XXXXXX";
  int peakFd = timed ? mkstemp(peakPath) : -1;
  // Pipes rather than files: a file-size limit must not apply to them.
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 || (timed && peakFd < 0)) {
    ADD_FAILURE() << "pipe2 or mkstemp: " << std::strerror(errno);
    return outcome;
  }
  if (options.closedStdout) {
    close(outPipe[0]);
    outPipe[0] = -1;
  }
  // time, run as nobody, must be able to write it.
  if (timed) fchmod(peakFd, 0666);
  const std::string executable = !options.program.empty()               ? options.program
                                 : options.asNobody && geteuid() == 0 ? executableForNobody()
                                                                      : OBJ2MESH_EXE;
  std::vector<std::string> storage = options.prefix;
  if (timed) storage = {kTime, "-q", "-f", "%M", "-o", peakPath, executable};
  else storage.push_back(options.prefix.empty() ? options.argv0 : executable);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::string program = timed ? kTime : options.prefix.empty() ? executable : options.prefix[0];
  std::vector<std::string> environment = options.environment;
  for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
  std::vector<char*> envp;
  for (std::string& s : environment) envp.push_back(s.data());
  envp.push_back(nullptr);
  const std::string dir = cwd.string();

  pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    setpgid(0, 0);  // so that a timeout ends time and the converter together
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0) _exit(126);
    if (chdir(dir.c_str()) != 0) _exit(126);
    umask(022);
    const struct rlimit noCore = {0, 0};
    if (setrlimit(RLIMIT_CORE, &noCore) != 0) _exit(126);
    if (options.fileSizeLimit >= 0) {
      struct rlimit limit = {rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    if (options.addressSpaceLimit >= 0) {
      struct rlimit limit = {rlim_t(options.addressSpaceLimit), rlim_t(options.addressSpaceLimit)};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    }
    if (options.asNobody && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(125);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(options.timeoutSeconds));
  std::function<void(const std::string&)> watch;
  if (options.whileRunning) watch = [&](const std::string& out) { options.whileRunning(pid, out); };
  if (!drainUntil(outPipe[0], errPipe[0], outcome.out, outcome.err, deadline, watch)) {
    outcome.timedOut = true;
    kill(-pid, SIGKILL);
  }
  if (outPipe[0] >= 0) close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  if (timed && outcome.exitCode > 128) {  // time reports a signal as 128 + its number
    outcome.signal = outcome.exitCode - 128;
    outcome.exitCode = -1;
  }
  outcome.couldNotDropPrivileges = options.asNobody && outcome.exitCode == 125;
  if (timed) {
    outcome.peakKiB = std::atol(readBack(peakFd).c_str());
    unlink(peakPath);
  }
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
