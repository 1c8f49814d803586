#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "padded_text.h"

namespace obj2mesh {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close(fd_);
}

int openForReading(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    close(fd);
    errno = error;
    return -1;
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

bool readTextFile(const std::string& path, std::string& contents) {
  contents.clear();
  FileDescriptor file(openForReading(path));
  if (file.get() < 0) return false;
  char buffer[1 << 16];
  bool hidden = false;
  for (;;) {
    ssize_t got = readSome(file.get(), buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    contents.append(buffer, keepVisible(buffer, size_t(got), hidden));
  }
}

}  // namespace obj2mesh
