#include "mesh_writer.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "file_io.h"

namespace obj2mesh {
namespace {

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links at `path` (even dangling ones) to the file that
// writing through the path would create or replace.
bool resolveLinks(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0) return false;
    std::string next(target.data(), size_t(n));
    if (next.empty() || next[0] != '/') next = directoryOf(path) + "/" + next;
    path = next;
  }
  errno = ELOOP;
  return false;
}

std::string describe(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size < (size_t(1) << 30) ? size : (size_t(1) << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

mode_t newFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// A hidden name beside `target` ending in "XXXXXX", cut to fit the
// folder's name limit whatever the length of the target's own name.
std::string temporaryPattern(const std::string& target) {
  const std::string folder = directoryOf(target);
  size_t slash = target.rfind('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  // "." name ".XXXXXX" must fit; only long names need the folder's limit.
  if (name.size() + 8 > 64) {
    long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
    const size_t room = size_t(limit > 16 ? limit : NAME_MAX) - 8;
    if (name.size() > room) name.resize(room);
  }
  return folder + "/." + name + ".XXXXXX";
}

// Links the open file `fd` under a fresh name made from `pattern`; false
// with errno set when it cannot.
bool linkUnderUniqueName(int fd, std::string pattern, std::string& name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint64_t state = uint64_t(getpid()) * 0x9E3779B97F4A7C15ull ^ uint64_t(uintptr_t(&pattern)) ^ uint64_t(time(nullptr));
  const std::string source = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = pattern.size() - 6; i < pattern.size(); ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      pattern[i] = kLetters[state % (sizeof kLetters - 1)];
    }
    if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, pattern.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      name = std::move(pattern);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// The named temporary file of a write in progress, for the signal handler:
// it removes the file, then lets the signal take its course.
std::mutex namedWrite;
const char* volatile pendingTemporary = nullptr;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];
bool installed[3];

void removeTemporaryAndRaise(int signal) {
  if (const char* name = pendingTemporary) unlink(name);
  for (int i = 0; i < 3; ++i)
    if (kCleanupSignals[i] == signal) sigaction(signal, &previousActions[i], nullptr);
  raise(signal);
}

// INT, TERM and HUP held back while it lives.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : kCleanupSignals) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t previous_;
};

// Handlers for the signals that end a process by default; an ignored
// signal stays ignored.
class CleanupOnSignals {
 public:
  explicit CleanupOnSignals(const char* temporary) {
    pendingTemporary = temporary;
    struct sigaction action = {};
    action.sa_handler = removeTemporaryAndRaise;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
      sigaction(kCleanupSignals[i], nullptr, &previousActions[i]);
      installed[i] = previousActions[i].sa_handler != SIG_IGN;
      if (installed[i]) sigaction(kCleanupSignals[i], &action, nullptr);
    }
  }
  ~CleanupOnSignals() {
    for (int i = 0; i < 3; ++i)
      if (installed[i]) sigaction(kCleanupSignals[i], &previousActions[i], nullptr);
    pendingTemporary = nullptr;
  }
};

}  // namespace

void (*afterTemporaryCreated)() = nullptr;

std::optional<Failure> writeMeshFileVia(TemporaryFile kind, const std::string& path, const uint8_t* data,
                                        size_t size, const std::string& inputPath) {
  auto fail = [&](std::string reason) { return Failure{path, 0, std::move(reason)}; };

  struct stat out, in;
  if (stat(path.c_str(), &out) == 0) {
    if (S_ISDIR(out.st_mode)) return fail(describe("cannot write", EISDIR));
    if (!inputPath.empty() && stat(inputPath.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino)
      return fail("is the input file; refusing to overwrite it");
    // Renaming over a device, FIFO or socket would replace the node itself
    // with a regular file (through a link, even /dev/null).
    if (!S_ISREG(out.st_mode)) return fail("cannot write: not a regular file");
  }

  std::string target = path;
  if (!resolveLinks(target)) return fail(describe("cannot resolve link", errno));
  const std::string folder = directoryOf(target);
  auto cannotCreate = [&](int error) {
    return fail(describe(("cannot create a file in folder '" + folder + "'").c_str(), error));
  };
  // An unnamed file is named through /proc.
  if (kind == TemporaryFile::Unnamed && access("/proc/self/fd", X_OK) != 0) kind = TemporaryFile::Named;
  if (kind == TemporaryFile::Unnamed) {
    // The file has no name until it is complete, so no run that ends,
    // however it ends, leaves a part of it behind. The open applies the
    // umask to the mode.
    int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
      // The file system has no unnamed files.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return cannotCreate(errno);
      kind = TemporaryFile::Named;
    } else {
      FileDescriptor file(fd);
      if (afterTemporaryCreated) afterTemporaryCreated();
      if (!writeAll(fd, data, size)) return fail(describe("cannot write", errno));
      const std::string source = "/proc/self/fd/" + std::to_string(fd);
      if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return std::nullopt;
      if (errno != EEXIST) return cannotCreate(errno);
      // A name exists already: the file takes a temporary name, which
      // replaces it at once. INT, TERM and HUP wait until it has.
      BlockedSignals blocked;
      std::string temporary;
      if (!linkUnderUniqueName(fd, temporaryPattern(target), temporary)) return cannotCreate(errno);
      if (rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        return fail(describe("cannot write", error));
      }
      return std::nullopt;
    }
  }

  std::lock_guard<std::mutex> lock(namedWrite);
  const std::string temporary = temporaryPattern(target);
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  // The signals wait until the handlers that remove the file are in place.
  std::optional<BlockedSignals> blocked(std::in_place);
  int fd = mkostemp(name.data(), O_CLOEXEC);
  int createError = errno;
  std::optional<CleanupOnSignals> cleanup;
  if (fd >= 0) cleanup.emplace(name.data());
  blocked.reset();
  if (fd < 0) return cannotCreate(createError);
  if (afterTemporaryCreated) afterTemporaryCreated();
  bool written = fchmod(fd, newFileMode()) == 0 && writeAll(fd, data, size);
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(name.data(), target.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(name.data());
    return fail(describe("cannot write", error));
  }
  return std::nullopt;
}

}  // namespace obj2mesh
