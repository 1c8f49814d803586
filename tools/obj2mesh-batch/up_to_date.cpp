#include "up_to_date.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "records.h"

namespace {

// The file at `path` as a load finds it: opened for reading, as the library
// opens it, and not a folder.
obj2mesh::InputFile look(const std::string& path) {
  obj2mesh::InputFile file;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
    const FileIdentity identity = identityOf(st);
    file = {path, true, identity.size, identity.modified};
  }
  if (fd >= 0) close(fd);
  return file;
}

}  // namespace

bool upToDate(const Job& job, const obj2mesh::Options& options) {
  const std::optional<Record> record = readRecord(recordPath(job.output), options);
  // The load reads the OBJ file first.
  if (!record || record->files.empty() || !record->files[0].found ||
      record->files[0].path != absoluteForm(job.input.string()))
    return false;
  struct stat st;
  if (stat(job.output.c_str(), &st) != 0 || !(identityOf(st) == record->output)) return false;
  for (const obj2mesh::InputFile& then : record->files) {
    const obj2mesh::InputFile now = look(then.path);
    if (now.found != then.found) return false;
    if (then.found &&
        (now.size != then.size || now.modified != then.modified || then.modified >= record->output.modified))
      return false;
  }
  return true;
}
