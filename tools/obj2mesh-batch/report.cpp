#include "report.h"

#include <cstdio>
#include <fstream>
#include <string_view>

namespace fs = std::filesystem;

namespace {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* kindName(obj2mesh::FailureKind kind) {
  switch (kind) {
    case obj2mesh::FailureKind::CannotRead: return "cannot-read";
    case obj2mesh::FailureKind::Rejected: return "rejected";
    case obj2mesh::FailureKind::TooLarge: return "too-large";
    case obj2mesh::FailureKind::CannotWrite: return "cannot-write";
    case obj2mesh::FailureKind::OutOfMemory: return "out-of-memory";
    case obj2mesh::FailureKind::Internal: break;
  }
  return "internal";
}

}  // namespace

bool writeReport(const std::string& path, const std::vector<Job>& jobs) {
  std::string text = "[";
  bool first = true;
  for (const Job& job : jobs) {
    if (job.status == Status::Pending) continue;
    const char* status = job.status == Status::Converted ? "converted" : job.status == Status::UpToDate ? "up-to-date" : "failed";
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "\"input_bytes\": %ju, \"output_bytes\": %ju, \"meshes\": %ju, \"vertices\": %ju, "
                  "\"triangles\": %ju, \"milliseconds\": %.3f",
                  job.inputBytes, job.outputBytes, uintmax_t(job.meshes), uintmax_t(job.vertices),
                  uintmax_t(job.triangles), job.milliseconds);
    text += first ? "\n  {" : ",\n  {";
    first = false;
    text += "\"input\": " + jsonString(job.input.string()) + ", \"output\": " + jsonString(job.output.string()) +
            ", \"status\": \"" + status + "\", " + numbers + ", \"failure\": ";
    if (job.status == Status::Failed) {
      const obj2mesh::Failure& f = job.failure;
      text += "{\"path\": " + jsonString(f.path) + ", \"line\": " + std::to_string(f.line) +
              ", \"reason\": " + jsonString(f.reason) + ", \"kind\": \"" + kindName(f.kind) + "\"}";
    } else {
      text += "null";
    }
    text += "}";
  }
  text += "\n]\n";
  std::error_code error;
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return bool(out);
}
