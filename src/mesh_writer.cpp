#include "mesh_writer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <atomic>
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

// Writes in steps, each handed to the disk as soon as it is in the page
// cache, so that the sync after the last one waits for little more than
// that step.
bool writeAll(int fd, const uint8_t* data, size_t size) {
  constexpr size_t kStep = size_t(8) << 20;
  off64_t written = 0;
  while (size > 0) {
    ssize_t n = write(fd, data, size < kStep ? size : kStep);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Only a start: errors surface at the sync.
    sync_file_range(fd, written, n, SYNC_FILE_RANGE_WRITE);
    written += n;
    data += n;
    size -= size_t(n);
  }
  return true;
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name for a file beside `name` in `folder`, ending in "XXXXXX",
// cut to fit the folder's name limit whatever the length of `name`.
std::string temporaryPattern(const std::string& folder, std::string name) {
  // "." name ".XXXXXX" must fit; only long names need the folder's limit.
  if (name.size() + 8 > 64) {
    long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
    const size_t room = size_t(limit > 16 ? limit : NAME_MAX) - 8;
    if (name.size() > room) name.resize(room);
  }
  return "." + name + ".XXXXXX";
}

// The hidden temporary files of the writes in progress, for
// removeTemporaryMeshFiles, which a signal handler may call at any moment:
// fixed slots, each with its name in place, and atomic states.
constexpr size_t kPendingSlots = 64;
struct PendingSlot {
  enum State : int { Free, Taken, Created };
  std::atomic<int> state{Free};
  int folder;           // an open descriptor of the file's folder
  char name[NAME_MAX + 1];  // the file's name in it
};
PendingSlot pendingSlots[kPendingSlots];

// A slot for the name of one temporary file while it may exist. Without a
// free slot (or room for the name) the file is simply not listed.
class PendingName {
 public:
  PendingName() = default;
  PendingName(const PendingName&) = delete;
  PendingName& operator=(const PendingName&) = delete;
  ~PendingName() { release(); }

  // Lists `name` in the folder open at `folder`; its file does not exist
  // yet.
  void list(int folder, const std::string& name) {
    release();
    if (name.size() > NAME_MAX) return;
    for (PendingSlot& slot : pendingSlots) {
      int expected = PendingSlot::Free;
      if (slot.state.compare_exchange_strong(expected, PendingSlot::Taken)) {
        slot.folder = folder;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        slot_ = &slot;
        return;
      }
    }
  }
  // The file exists under the name now.
  void created() {
    if (slot_) slot_->state.store(PendingSlot::Created);
  }
  void release() {
    if (slot_) slot_->state.store(PendingSlot::Free);
    slot_ = nullptr;
  }

 private:
  PendingSlot* slot_ = nullptr;
};

// Makes a file in the folder open at `folder` under a fresh name made from
// `pattern` (ending in "XXXXXX"): create(name) makes it, returning 0 or an
// errno value, EEXIST to try another name. The name is listed for
// removeTemporaryMeshFiles from just before its file exists. False with
// errno set when no name could be made.
template <class Create>
bool createUnique(int folder, std::string pattern, std::string& name, PendingName& pending, Create&& create) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint64_t state = uint64_t(getpid()) * 0x9E3779B97F4A7C15ull ^ uint64_t(uintptr_t(&pattern)) ^
                   uint64_t(time(nullptr)) ^ uint64_t(clock());
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = pattern.size() - 6; i < pattern.size(); ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      pattern[i] = kLetters[state % (sizeof kLetters - 1)];
    }
    pending.list(folder, pattern);
    const int error = create(pattern);
    if (error == 0) {
      pending.created();
      name = std::move(pattern);
      return true;
    }
    pending.release();
    if (error != EEXIST) {
      errno = error;
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

}  // namespace

void (*afterTemporaryCreated)() = nullptr;
int (*syncFile)(int fd) = fdatasync;

bool sameFile(const struct stat& st, const FileIdentity& file) {
  return uint64_t(st.st_dev) == file.device && uint64_t(st.st_ino) == file.inode;
}

std::optional<Failure> writeMeshFileVia(TemporaryFile kind, const std::string& path, const uint8_t* data,
                                        size_t size, const std::vector<FileIdentity>& inputs) {
  auto fail = [&](std::string reason) { return Failure{path, 0, std::move(reason), FailureKind::CannotWrite}; };

  struct stat out;
  if (stat(path.c_str(), &out) == 0) {
    if (S_ISDIR(out.st_mode)) return fail(describe("cannot write", EISDIR));
    for (const FileIdentity& input : inputs)
      if (sameFile(out, input)) return fail("is the input file; refusing to overwrite it");
    // Renaming over a device, FIFO or socket would replace the node itself
    // with a regular file (through a link, even /dev/null).
    if (!S_ISREG(out.st_mode)) return fail("cannot write: not a regular file");
  }

  std::string target = path;
  if (!resolveLinks(target)) return fail(describe("cannot resolve link", errno));
  const std::string folder = directoryOf(target), name = baseName(target);
  auto cannotCreate = [&](int error) {
    return fail(describe(("cannot create a file in folder '" + folder + "'").c_str(), error));
  };
  // The file is made, named and renamed relative to its folder, opened
  // once: no longer path is ever built, and the folder cannot be swapped
  // midway.
  FileDescriptor directory(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) return cannotCreate(errno);
  const int dir = directory.get();
  // The bytes reach the disk, and any error surfaces, before the file takes
  // the output's name.
  auto writeAndSync = [&](int fd) { return writeAll(fd, data, size) && syncFile(fd) == 0; };

  // An unnamed file is named through /proc.
  if (kind == TemporaryFile::Unnamed && access("/proc/self/fd", X_OK) != 0) kind = TemporaryFile::Named;
  if (kind == TemporaryFile::Unnamed) {
    // The file has no name until it is complete, so no run that ends,
    // however it ends, leaves a part of it behind. The open applies the
    // umask to the mode.
    int fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
      // The file system has no unnamed files.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return cannotCreate(errno);
      kind = TemporaryFile::Named;
    } else {
      FileDescriptor file(fd);
      if (afterTemporaryCreated) afterTemporaryCreated();
      if (!writeAndSync(fd)) return fail(describe("cannot write", errno));
      const std::string source = "/proc/self/fd/" + std::to_string(fd);
      if (linkat(AT_FDCWD, source.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return std::nullopt;
      if (errno != EEXIST) return cannotCreate(errno);
      // A name exists already: the file takes a temporary name, which
      // replaces it at once.
      PendingName pending;
      std::string temporary;
      if (!createUnique(dir, temporaryPattern(folder, name), temporary, pending, [&](const std::string& t) {
            return linkat(AT_FDCWD, source.c_str(), dir, t.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
          }))
        return cannotCreate(errno);
      if (renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        int error = errno;
        unlinkat(dir, temporary.c_str(), 0);
        return fail(describe("cannot write", error));
      }
      return std::nullopt;
    }
  }

  // A named file beside the target; the open applies the umask to the
  // mode.
  PendingName pending;
  std::string temporary;
  int fd = -1;
  if (!createUnique(dir, temporaryPattern(folder, name), temporary, pending, [&](const std::string& t) {
        fd = openat(dir, t.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return fd >= 0 ? 0 : errno;
      }))
    return cannotCreate(errno);
  if (afterTemporaryCreated) afterTemporaryCreated();
  bool written = writeAndSync(fd);
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlinkat(dir, temporary.c_str(), 0);
    return fail(describe("cannot write", error));
  }
  return std::nullopt;
}

void removeTemporaryMeshFiles() noexcept {
  for (PendingSlot& slot : pendingSlots)
    if (slot.state.load() == PendingSlot::Created) unlinkat(slot.folder, slot.name, 0);
}

}  // namespace obj2mesh
