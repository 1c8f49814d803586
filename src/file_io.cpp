#include "file_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "padded_text.h"

namespace obj2mesh {
namespace {

struct ReadFiles {
  std::vector<FileIdentity>* identities;
  std::vector<InputFile>* files;
};
thread_local ReadFiles readFiles = {nullptr, nullptr};

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close(fd_);
}

int openForReading(const std::string& path, bool waitForWriter) {
  // Not blocking, so that the open of a FIFO never waits.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (waitForWriter && S_ISFIFO(st.st_mode)) {
    // Until a writer comes, a FIFO reads as ended; the first bytes (or the
    // writer's leaving) end the wait.
    struct pollfd writer = {fd, POLLIN, 0};
    while (poll(&writer, 1, -1) < 0 && errno == EINTR) {
    }
  }
  // Reads block again once open: a FIFO's writer may be slow.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

ssize_t readSome(int fd, char* into, size_t room) {
  for (;;) {
    ssize_t got = read(fd, into, room);
    if (got >= 0 || errno != EINTR) return got;
  }
}

ReadFilesScope::ReadFilesScope(std::vector<FileIdentity>& identities, std::vector<InputFile>& files)
    : previousIdentities_(readFiles.identities), previousFiles_(readFiles.files) {
  readFiles = {&identities, &files};
}
ReadFilesScope::~ReadFilesScope() { readFiles = {previousIdentities_, previousFiles_}; }

void noteReadFile(int fd, const std::string& path) {
  struct stat st;
  if (!readFiles.identities || fstat(fd, &st) != 0) return;
  readFiles.identities->push_back({uint64_t(st.st_dev), uint64_t(st.st_ino)});
  readFiles.files->push_back(
      {path, true, uint64_t(st.st_size), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
}

void noteMissingFile(const std::string& path) {
  if (readFiles.files) readFiles.files->push_back({path, false, 0, 0});
}

bool readTextFile(const std::string& path, std::string& contents) {
  contents.clear();
  FileDescriptor file(openForReading(path));
  if (file.get() < 0) {
    noteMissingFile(path);
    return false;
  }
  noteReadFile(file.get(), path);
  char buffer[1 << 16];
  bool hidden = false;
  for (;;) {
    ssize_t got = readSome(file.get(), buffer, sizeof buffer);
    if (got < 0) throw UnreadableLibrary{path, errno};
    if (got == 0) return true;
    contents.append(buffer, keepVisible(buffer, size_t(got), hidden));
  }
}

}  // namespace obj2mesh
