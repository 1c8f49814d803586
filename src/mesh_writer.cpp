#include "obj2mesh/converter.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

std::optional<Failure> write(const std::string& path, const uint8_t* data, size_t size,
                             const std::string& inputPath) {
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
  std::string temporary = directoryOf(target) + "/.";
  size_t slash = target.rfind('/');
  temporary += (slash == std::string::npos ? target : target.substr(slash + 1)) + ".XXXXXX";

  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return fail(describe("cannot create", errno));
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

}  // namespace

std::optional<Failure> writeMeshFile(const std::string& path, const uint8_t* data, size_t size,
                                     const std::string& inputPath) noexcept {
  try {
    return write(path, data, size, inputPath);
  } catch (...) {
    // Only copies of names allocate, and none is made once the temporary
    // file exists.
    Failure failure;
    failure.reason = "out of memory";
    try {
      failure.path = path;
    } catch (...) {
    }
    return failure;
  }
}

}  // namespace obj2mesh
