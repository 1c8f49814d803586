#pragma once

// Files the library reads: the OBJ file and its material libraries.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "obj2mesh/converter.h"

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

// A file as the system knows it, whatever names lead to it.
struct FileIdentity {
  uint64_t device;
  uint64_t inode;
};

// Opens a file for reading; -1 with errno set when it cannot be opened or
// is a directory (EISDIR). The open itself never waits; with
// `waitForWriter`, a FIFO that has no writer yet is waited for until one
// comes, otherwise it reads as empty.
int openForReading(const std::string& path, bool waitForWriter = false);

// read(2), retried when a signal interrupts it.
ssize_t readSome(int fd, char* into, size_t room);

// The files a load reads, collected on the loading thread while a
// ReadFilesScope lives there: the identity of each file read, and each
// file read or looked for in vain.
class ReadFilesScope {
 public:
  ReadFilesScope(std::vector<FileIdentity>& identities, std::vector<InputFile>& files);
  ~ReadFilesScope();
  ReadFilesScope(const ReadFilesScope&) = delete;
  ReadFilesScope& operator=(const ReadFilesScope&) = delete;

 private:
  std::vector<FileIdentity>* previousIdentities_;
  std::vector<InputFile>* previousFiles_;
};
// Adds the file open at `fd`, opened as `path`, to the files of the load in
// progress, if any.
void noteReadFile(int fd, const std::string& path);
// Adds a file that could not be opened.
void noteMissingFile(const std::string& path);

// A material library that opened but could not be read: the load fails
// with the library's path.
struct UnreadableLibrary {
  std::string path;
  int error;
};

// Reads a material library whole but for what NUL bytes hide (see
// keepVisible); false when it cannot be opened (it then reads as absent).
// Throws UnreadableLibrary when it opens but a read fails.
bool readTextFile(const std::string& path, std::string& contents);

}  // namespace obj2mesh
