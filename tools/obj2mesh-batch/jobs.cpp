#include "jobs.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>

namespace fs = std::filesystem;

namespace {

// 64-bit FNV-1a of the bytes of `text`.
uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool hasObjExtension(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext == ".obj";
}

fs::path withMeshExtension(fs::path path) { return path.replace_extension(".mesh"); }

}  // namespace

std::vector<Job> findJobs(const Settings& settings) {
  std::vector<Job> jobs;
  // A file named before "--" must be an OBJ file: "dir/*" names textures
  // and material libraries too.
  for (size_t i = 0; i < settings.checkedInputs; ++i) {
    std::error_code error;
    const fs::path input = settings.inputs[i];
    if (!fs::is_directory(input, error) && !hasObjExtension(input))
      usageError(settings.inputs[i] + ": not an .obj file; files of other names are converted when given after --");
  }
  for (const std::string& given : settings.inputs) {
    const fs::path input = given;
    std::error_code error;
    if (fs::is_directory(input, error)) {
      // Links to files are followed; links to folders are not descended.
      fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied, error), end;
      if (error) usageError(given + ": " + error.message());
      for (; it != end; it.increment(error)) {
        if (error) usageError(given + ": " + error.message());
        std::error_code statError;
        if (!it->is_regular_file(statError) || !hasObjExtension(it->path())) continue;
        Job job;
        job.input = it->path();
        job.relative = it->path().lexically_relative(input).generic_string();
        job.output = settings.outputDir.empty() ? withMeshExtension(job.input)
                                                : withMeshExtension(settings.outputDir / job.relative);
        jobs.push_back(std::move(job));
      }
    } else if (fs::exists(input, error)) {
      Job job;
      job.input = input;
      job.relative = input.filename().string();
      job.output = withMeshExtension(settings.outputDir.empty() ? input : settings.outputDir / input.filename());
      jobs.push_back(std::move(job));
    } else {
      usageError(given + ": no such file or folder");
    }
  }
  jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                            [&](const Job& job) { return fnv1a(job.relative) % settings.shards != settings.shard; }),
             jobs.end());
  std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.input < b.input; });

  std::map<fs::path, const Job*> byOutput;
  for (const Job& job : jobs) {
    std::error_code error;
    fs::path key = fs::weakly_canonical(job.output, error);
    if (error) key = fs::absolute(job.output).lexically_normal();
    auto [it, fresh] = byOutput.emplace(key, &job);
    if (!fresh)
      usageError(it->second->input.string() + " and " + job.input.string() + " would both make " + job.output.string());
  }
  for (Job& job : jobs) {
    std::error_code error;
    job.inputBytes = fs::file_size(job.input, error);
    if (error) job.inputBytes = 0;
  }
  return jobs;
}
