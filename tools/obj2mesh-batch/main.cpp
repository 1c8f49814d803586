// obj2mesh-batch: converts many OBJ files on threads of one process, skips
// the outputs that are newer than everything they are made from, and prints
// one line per failure and a summary.

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <obj2mesh/converter.h>
#include <obj2mesh/mesh_generated.h>

#include "../escaped.h"

namespace fs = std::filesystem;

namespace {

constexpr int kUsageError = 2;

struct Settings {
  fs::path outputDir;  // empty: each mesh beside its OBJ
  bool combineMeshes = true;
  unsigned jobs = 0;
  bool force = false;
  uint64_t shard = 0, shards = 1;  // take the files whose hash is shard modulo shards
  std::string reportPath;
  bool quiet = false;
  std::vector<std::string> inputs;
};

enum class Status { Pending, Converted, UpToDate, Failed };

struct Job {
  fs::path input, output;
  std::string relative;  // the path relative to its INPUT, which --shard hashes
  uintmax_t inputBytes = 0, outputBytes = 0;
  uint64_t meshes = 0, vertices = 0, triangles = 0;
  double milliseconds = 0;
  Status status = Status::Pending;
  obj2mesh::Failure failure;
};

void usage(FILE* to) {
  std::fputs(
      "Usage: obj2mesh-batch [-o DIR] [-c false] [-j N] [--force] [--shard K/N] [--report FILE] [-q] INPUT...\n"
      "Converts every OBJ file given, or found under a folder given, to a .mesh file.\n",
      to);
}

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "obj2mesh-batch: %s\n", escaped(message).c_str());
  usage(stderr);
  std::exit(kUsageError);
}

bool wholeNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
    return false;
  value = std::stoull(text);
  return true;
}

unsigned availableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

Settings parseCommandLine(int argc, char** argv) {
  Settings settings;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(arg + " needs a value");
      return argv[++i];
    };
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      settings.inputs.push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("obj2mesh-batch %s\n", OBJ2MESH_VERSION);
      std::exit(0);
    } else if (arg == "-o") {
      settings.outputDir = value();
    } else if (arg == "-c") {
      const std::string v = value();
      if (v == "1" || v == "true" || v == "TRUE" || v == "True")
        settings.combineMeshes = true;
      else if (v == "0" || v == "false" || v == "FALSE" || v == "False")
        settings.combineMeshes = false;
      else
        usageError("-c takes true or false, not '" + v + "'");
    } else if (arg == "-j") {
      uint64_t n = 0;
      if (!wholeNumber(value(), n) || n == 0 || n > 4096) usageError("-j takes a number of jobs from 1 to 4096");
      settings.jobs = unsigned(n);
    } else if (arg == "--force") {
      settings.force = true;
    } else if (arg == "--shard") {
      const std::string v = value();
      const size_t slash = v.find('/');
      uint64_t k = 0, n = 0;
      if (slash == std::string::npos || !wholeNumber(v.substr(0, slash), k) || !wholeNumber(v.substr(slash + 1), n) ||
          n == 0 || k == 0 || k > n)
        usageError("--shard takes K/N with 1 <= K <= N, not '" + v + "'");
      settings.shard = k - 1;
      settings.shards = n;
    } else if (arg == "--report") {
      settings.reportPath = value();
    } else if (arg == "-q") {
      settings.quiet = true;
    } else {
      usageError("unknown option '" + arg + "'");
    }
  }
  if (settings.inputs.empty()) usageError("no INPUT given");
  if (!settings.jobs) settings.jobs = availableCpus();
  return settings;
}

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

// Every OBJ file the inputs name, sorted by path, with its output; the
// shard's share only. Exits with a usage error on an input that is missing
// or on two inputs that would make the same output.
std::vector<Job> findJobs(const Settings& settings) {
  std::vector<Job> jobs;
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

// The output is newer than the OBJ file, every library it names that
// exists, and this program.
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

// Converts one file as obj2mesh does when run from the file's folder.
void convert(Job& job, const Settings& settings, unsigned readingThreads) {
  obj2mesh::Options options;
  options.combineMeshes = settings.combineMeshes;
  obj2mesh::LoadOptions loadOptions;
  loadOptions.threads = readingThreads;
  const fs::path folder = job.input.parent_path();
  loadOptions.materials = obj2mesh::materialsFrom(folder.empty() ? "." : folder.string());
  const obj2mesh::ConvertResult result = obj2mesh::convertObjFile(job.input.string(), options, loadOptions);
  if (!result.ok()) {
    job.failure = result.failure();
    job.status = Status::Failed;
    return;
  }
  std::error_code error;
  if (job.output.has_parent_path()) fs::create_directories(job.output.parent_path(), error);
  if (error) {
    job.failure = {job.output.parent_path().string(), 0, error.message(), obj2mesh::FailureKind::CannotWrite};
    job.status = Status::Failed;
    return;
  }
  if (auto failure = obj2mesh::writeMeshFile(job.output.string(), result)) {
    job.failure = *failure;
    job.status = Status::Failed;
    return;
  }
  job.outputBytes = result.size();
  const obj2mesh::Model* model = obj2mesh::GetModel(result.data());
  if (model->meshes())
    for (const obj2mesh::Mesh* mesh : *model->meshes()) {
      ++job.meshes;
      if (mesh->positions()) job.vertices += mesh->positions()->size();
      if (mesh->indices()) job.triangles += mesh->indices()->size() / 3;
    }
  job.status = Status::Converted;
}

// The first SIGINT or SIGTERM stops the taking of new files; the second
// removes the hidden files of writes in progress and ends the process.
volatile sig_atomic_t signalsSeen = 0;

void onSignal(int signal) {
  if (++signalsSeen < 2) return;
  obj2mesh::removeTemporaryMeshFiles();
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void catchSignals() {
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction action = {};
    if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class Run {
 public:
  Run(std::vector<Job>& jobs, const Settings& settings)
      : jobs_(jobs), settings_(settings), terminal_(isatty(STDOUT_FILENO) == 1) {
    for (const Job& job : jobs_) totalBytes_ += job.inputBytes;
    // A file larger than a share of the memory runs alone.
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const uintmax_t memory = pages > 0 && pageSize > 0 ? uintmax_t(pages) * uintmax_t(pageSize) : uintmax_t(1) << 32;
    largeFile_ = memory / (4 * uintmax_t(settings_.jobs));
    std::error_code error;
    converterTime_ = fs::last_write_time("/proc/self/exe", error);
    if (error) converterTime_ = fs::file_time_type::max();  // unknown: nothing counts as up to date
  }

  void go() {
    start_ = Clock::now();
    std::vector<std::thread> threads;
    const unsigned count = unsigned(std::min<size_t>(settings_.jobs, std::max<size_t>(jobs_.size(), 1)));
    for (unsigned i = 0; i < count; ++i) threads.emplace_back([this] { work(); });
    for (std::thread& thread : threads) thread.join();
    if (terminal_ && !settings_.quiet && !jobs_.empty()) std::fputs("\n", stdout);
  }

  double seconds() const { return secondsSince(start_); }

 private:
  void work() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (signalsSeen || next_ == jobs_.size()) return;
      Job& job = jobs_[next_++];
      const bool large = job.inputBytes > largeFile_;
      // A large file waits for the running ones to finish, and holds back
      // the small ones meanwhile, so that it is not starved.
      largeWaiting_ += large;
      changed_.wait(lock, [&] { return large ? running_ == 0 : !largeRunning_ && largeWaiting_ == 0; });
      largeWaiting_ -= large;
      if (signalsSeen) {
        changed_.notify_all();
        return;  // the file stays untaken
      }
      // A large file, or the last file while nothing else runs, is read on
      // the threads the library chooses; other files on one each.
      const unsigned readingThreads = large || (next_ == jobs_.size() && running_ == 0) ? 0 : 1;
      ++running_;
      largeRunning_ = large;
      lock.unlock();

      const Clock::time_point began = Clock::now();
      if (!settings_.force && upToDate(job, converterTime_))
        job.status = Status::UpToDate;
      else
        convert(job, settings_, readingThreads);
      job.milliseconds = secondsSince(began) * 1000;

      lock.lock();
      --running_;
      largeRunning_ = false;
      changed_.notify_all();
      report(job);
    }
  }

  // Called with the mutex held.
  void report(const Job& job) {
    ++done_;
    doneBytes_ += job.inputBytes;
    if (job.status == Status::Failed) {
      ++failed_;
      if (terminal_ && !settings_.quiet) std::fputs("\r\x1b[K", stdout);
      std::fflush(stdout);
      const obj2mesh::Failure& f = job.failure;
      std::string line = escaped(f.path.empty() ? job.input.string() : f.path);
      if (f.line) line += ":" + std::to_string(f.line);
      line += ": " + escaped(f.reason) + "\n";
      std::fputs(line.c_str(), stderr);
      std::fflush(stderr);
    }
    if (settings_.quiet) return;
    if (terminal_) {
      const double elapsed = seconds();
      const double rate = elapsed > 0 ? double(doneBytes_) / elapsed : 0;
      char text[160];
      std::snprintf(text, sizeof text, "\r\x1b[K%zu/%zu files, %zu failed, %.1f MB/s", done_, jobs_.size(), failed_,
                    rate / 1e6);
      std::fputs(text, stdout);
      if (rate > 0 && done_ < jobs_.size()) std::printf(", ETA %.0f s", double(totalBytes_ - doneBytes_) / rate);
    } else {
      const char* word = job.status == Status::Converted ? "converted" : job.status == Status::UpToDate ? "up to date" : "failed";
      std::printf("%s %s -> %s\n", word, escaped(job.input.string()).c_str(), escaped(job.output.string()).c_str());
    }
    std::fflush(stdout);
  }

  std::vector<Job>& jobs_;
  const Settings& settings_;
  const bool terminal_;
  uintmax_t largeFile_ = 0;
  fs::file_time_type converterTime_;
  Clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0, done_ = 0, failed_ = 0;
  unsigned running_ = 0, largeWaiting_ = 0;
  bool largeRunning_ = false;
  uintmax_t totalBytes_ = 0, doneBytes_ = 0;
};

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

// One entry per file that was looked at; files an interruption left
// untouched have none.
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

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit or a closed standard output fails a write instead of
  // ending the run.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  const Settings settings = parseCommandLine(argc, argv);
  std::vector<Job> jobs = findJobs(settings);
  catchSignals();
  Run run(jobs, settings);
  run.go();

  size_t converted = 0, upToDate = 0, failed = 0, pending = 0;
  for (const Job& job : jobs) {
    converted += job.status == Status::Converted;
    upToDate += job.status == Status::UpToDate;
    failed += job.status == Status::Failed;
    pending += job.status == Status::Pending;
  }
  bool reportFailed = false;
  if (!settings.reportPath.empty() && !writeReport(settings.reportPath, jobs)) {
    std::fprintf(stderr, "obj2mesh-batch: %s: cannot write the report\n", escaped(settings.reportPath).c_str());
    reportFailed = true;
  }
  if (!settings.quiet) {
    std::printf("converted %zu, up to date %zu, failed %zu", converted, upToDate, failed);
    if (pending) std::printf(", not started %zu", pending);
    std::printf(" (%.1f s)\n", run.seconds());
    std::fflush(stdout);
  }
  return failed || pending || reportFailed ? 1 : 0;
}
