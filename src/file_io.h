#pragma once

#include <sys/types.h>

#include <string>

namespace obj2mesh {

// An open file descriptor, closed when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens a file for reading; -1 with errno set when it cannot be opened or
// is a directory (EISDIR). A FIFO without a writer is never waited for: it
// reads as empty.
int openForReading(const std::string& path);

// read(2), retried when a signal interrupts it.
ssize_t readSome(int fd, char* into, size_t room);

// Reads a text file whole but for what NUL bytes hide (see keepVisible);
// false with errno set when it cannot be opened or read.
bool readTextFile(const std::string& path, std::string& contents);

}  // namespace obj2mesh
