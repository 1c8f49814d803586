#include "up_to_date.h"

#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The material libraries an OBJ file names: the first word after "mtllib"
// and a blank on each such line, relative to the OBJ file's folder.
std::vector<fs::path> materialLibraries(const fs::path& obj) {
  std::vector<fs::path> libraries;
  std::ifstream in(obj, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line.compare(at, 6, "mtllib") != 0) continue;
    at += 6;
    if (at >= line.size() || (line[at] != ' ' && line[at] != '\t')) continue;
    at = line.find_first_not_of(" \t", at);
    if (at == std::string::npos) continue;
    const size_t stop = line.find_first_of(" \t\r", at);
    const fs::path name = line.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
    libraries.push_back(name.is_absolute() ? name : obj.parent_path() / name);
  }
  return libraries;
}

}  // namespace

bool upToDate(const Job& job, fs::file_time_type converterTime) {
  std::error_code error;
  const fs::file_time_type outputTime = fs::last_write_time(job.output, error);
  if (error) return false;
  const fs::file_time_type inputTime = fs::last_write_time(job.input, error);
  if (error || !(outputTime > inputTime) || !(outputTime > converterTime)) return false;
  for (const fs::path& library : materialLibraries(job.input)) {
    const fs::file_time_type libraryTime = fs::last_write_time(library, error);
    if (!error && !(outputTime > libraryTime)) return false;
  }
  return true;
}
