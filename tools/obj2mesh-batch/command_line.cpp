#include "command_line.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "../escaped.h"

namespace {

constexpr int kUsageError = 2;

void usage(FILE* to) {
  std::fputs(
      "Usage: obj2mesh-batch [-o DIR] [-c false] [--with LIST] [-j N] [--force] [--shard K/N] [--report FILE] [-q] "
      "INPUT...\n"
      "Converts every OBJ file given, or found under a folder given, to a .mesh file.\n"
      "LIST: texcoords, aligned-normals, parts or all, separated by commas.\n"
      "-o, -c and -j take their value as the next argument or attached (-j4).\n"
      "A file INPUT must be named *.obj (any case) unless it comes after --.\n",
      to);
}

bool wholeNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
    return false;
  value = std::stoull(text);
  return true;
}

// Turns on the Options fields that a --with list names.
void addWith(const std::string& list, obj2mesh::Options& options) {
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const bool all = item == "all";
    if (!all && item != "texcoords" && item != "aligned-normals" && item != "parts")
      usageError("--with takes texcoords, aligned-normals, parts or all, not '" + item + "'");
    options.texcoords |= all || item == "texcoords";
    options.alignNormals |= all || item == "aligned-normals";
    options.parts |= all || item == "parts";
    if (comma == std::string::npos) return;
    start = comma + 1;
  }
}

unsigned availableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

}  // namespace

void usageError(const std::string& message) {
  std::fprintf(stderr, "obj2mesh-batch: %s\n", escaped(message).c_str());
  usage(stderr);
  std::exit(kUsageError);
}

Settings parseCommandLine(int argc, char** argv) {
  Settings settings;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // -o, -c and -j also take their value attached: -j4, -oDIR.
    std::string attached;
    if (!optionsEnd && arg.size() > 2 && arg[0] == '-' && std::string("ocj").find(arg[1]) != std::string::npos) {
      attached = arg.substr(2);
      arg.resize(2);
    }
    auto value = [&]() -> std::string {
      if (!attached.empty()) return attached;
      if (i + 1 >= argc) usageError(arg + " needs a value");
      return argv[++i];
    };
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      settings.inputs.push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
      settings.checkedInputs = settings.inputs.size();
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
        settings.options.combineMeshes = true;
      else if (v == "0" || v == "false" || v == "FALSE" || v == "False")
        settings.options.combineMeshes = false;
      else
        usageError("-c takes true or false, not '" + v + "'");
    } else if (arg == "--with") {
      addWith(value(), settings.options);
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
  if (!optionsEnd) settings.checkedInputs = settings.inputs.size();
  if (!settings.jobs) settings.jobs = availableCpus();
  return settings;
}
