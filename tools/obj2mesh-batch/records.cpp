#include "records.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "converter_build.h"

namespace fs = std::filesystem;

namespace {

std::string header(const obj2mesh::Options& options) {
  auto flag = [](bool on) { return on ? "true" : "false"; };
  return std::string("obj2mesh-batch record 1\nbuild ") + OBJ2MESH_BATCH_CONVERTER_BUILD +
         "\noptions combine=" + flag(options.combineMeshes) + " texcoords=" + flag(options.texcoords) +
         " aligned-normals=" + flag(options.alignNormals) + " parts=" + flag(options.parts) + "\n";
}

std::string encoded(std::string_view path) {
  std::string out;
  for (unsigned char c : path) {
    if (c >= 0x20 && c != 0x7f && c != '%') {
      out += char(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

bool decode(std::string_view text, std::string& path) {
  path.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      path += text[i];
      continue;
    }
    unsigned value = 0;
    const char* digits = text.data() + i + 1;
    if (i + 3 > text.size() || std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) return false;
    path += char(value);
    i += 2;
  }
  return !path.empty();
}

// Takes `word` off the front of `text`.
bool take(std::string_view& text, std::string_view word) {
  if (text.substr(0, word.size()) != word) return false;
  text.remove_prefix(word.size());
  return true;
}

// Takes a number, and the blank after it unless it ends `text`, off the
// front of `text`.
template <class Number>
bool takeNumber(std::string_view& text, Number& value) {
  const char* const stop = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), stop, value);
  if (error != std::errc() || end == text.data() || (end != stop && *end != ' ')) return false;
  text.remove_prefix(size_t(end - text.data()) + (end != stop));
  return true;
}

// The identity of the file at `path` when it holds exactly `size` bytes
// equal to `data`.
std::optional<FileIdentity> holding(const fs::path& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == size;
  char buffer[1 << 16];
  for (size_t at = 0; same && at < size;) {
    const ssize_t got = read(fd, buffer, std::min(sizeof buffer, size - at));
    if (got < 0 && errno == EINTR) continue;
    same = got > 0 && std::memcmp(buffer, data + at, size_t(got)) == 0;
    at += got > 0 ? size_t(got) : 0;
  }
  close(fd);
  if (!same) return std::nullopt;
  return identityOf(st);
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = write(fd, text.data(), text.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    text.remove_prefix(size_t(wrote));
  }
  return true;
}

obj2mesh::Failure cannotWrite(const fs::path& path, int error) {
  return {path.string(), 0, "cannot write the record of the mesh: " + std::generic_category().message(error),
          obj2mesh::FailureKind::CannotWrite};
}

// Gives `path` the content `text` through a temporary file beside it,
// created with mode 0666 less the umask and renamed into place.
std::optional<obj2mesh::Failure> replace(const fs::path& path, std::string_view text) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) return cannotWrite(path.parent_path(), error.value());
  static std::atomic<unsigned> count{0};
  for (;;) {
    // Unique within the process; O_EXCL settles a clash with another one.
    char name[64];
    std::snprintf(name, sizeof name, ".record-%x-%x-%llx", unsigned(getpid()), count++,
                  static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const fs::path temporary = path.parent_path() / name;
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return cannotWrite(path, errno);
    bool ok = writeAll(fd, text);
    int failure = errno;
    if (close(fd) != 0 && ok) ok = false, failure = errno;
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = false, failure = errno;
    if (ok) return std::nullopt;
    unlink(temporary.c_str());
    return cannotWrite(path, failure);
  }
}

}  // namespace

fs::path recordPath(const fs::path& output) {
  return output.parent_path() / ".obj2mesh-batch" / fs::path(output.filename()).replace_extension(".rec");
}

std::string absoluteForm(const std::string& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  if (error) return path;
  fs::path form;
  for (const fs::path& part : absolute)
    if (!part.empty() && part != ".") form /= part;
  return form.string();
}

std::optional<Record> readRecord(const fs::path& path, const obj2mesh::Options& options) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  const std::string expected = header(options);
  if (!in || text.compare(0, expected.size(), expected) != 0) return std::nullopt;
  std::string_view rest(text);
  rest.remove_prefix(expected.size());
  Record record;
  bool first = true;
  for (size_t newline; (newline = rest.find('\n')) != std::string_view::npos;) {
    std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline + 1);
    if (first) {
      first = false;
      if (!take(line, "output ") || !takeNumber(line, record.output.size) ||
          !takeNumber(line, record.output.modified) || !takeNumber(line, record.output.inode) || !line.empty())
        return std::nullopt;
      continue;
    }
    if (line == "end") return rest.empty() ? std::optional<Record>(std::move(record)) : std::nullopt;
    obj2mesh::InputFile file;
    file.found = take(line, "read ");
    if (file.found ? !takeNumber(line, file.size) || !takeNumber(line, file.modified) : !take(line, "missing "))
      return std::nullopt;
    if (!decode(line, file.path)) return std::nullopt;
    record.files.push_back(std::move(file));
  }
  return std::nullopt;
}

std::optional<obj2mesh::Failure> writeRecord(const fs::path& output, const obj2mesh::ConvertResult& result,
                                             const obj2mesh::Options& options) {
  const std::optional<FileIdentity> written = holding(output, result.data(), result.size());
  if (!written) return std::nullopt;
  std::string text = header(options) + "output " + std::to_string(written->size) + " " +
                     std::to_string(written->modified) + " " + std::to_string(written->inode) + "\n";
  for (const obj2mesh::InputFile& file : result.inputFiles()) {
    text += file.found ? "read " + std::to_string(file.size) + " " + std::to_string(file.modified) + " " : "missing ";
    text += encoded(absoluteForm(file.path)) + "\n";
  }
  return replace(recordPath(output), text + "end\n");
}
