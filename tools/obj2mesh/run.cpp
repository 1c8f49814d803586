#include "run.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <obj2mesh/converter.h>

#include "command_line.h"
#include "output_path.h"

namespace {

bool lineOpen = false;  // a progress line waits for its last word

// Starts a progress line; it shows before its step's work begins, so a run
// that dies in the step still shows which one. A line that cannot be
// written (standard output closed, say) is dropped and the run goes on;
// the error flag is cleared, so that each later line is tried.
void startLine(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  std::clearerr(stdout);
  lineOpen = true;
}

void endLine(const char* word) {
  std::printf("%s\n", word);
  std::fflush(stdout);
  std::clearerr(stdout);
  lineOpen = false;
}

// Control characters as C escapes, so that a reason is always one line.
std::string escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

void explain(const obj2mesh::Failure& failure) {
  std::string where = escaped(failure.path);
  if (failure.line) where += ":" + std::to_string(failure.line);
  std::fprintf(stderr, "obj2mesh: %s: %s\n", where.c_str(), escaped(failure.reason).c_str());
}

// OBJ2MESH_THREADS=N caps the threads that read the OBJ file; without a
// whole number from 1 up there, the library chooses (0).
unsigned readingThreads() {
  const char* value = std::getenv("OBJ2MESH_THREADS");
  if (!value || *value < '0' || *value > '9') return 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(value, &end, 10);
  if (*end != '\0') return 0;
  return n > UINT_MAX ? UINT_MAX : unsigned(n);
}

// Loads the OBJ file and converts it into `result`.
bool loadAndConvert(const std::string& inputPath, bool combineMeshes, obj2mesh::ConvertResult& result) {
  startLine("Loading '" + inputPath + "'... ");
  obj2mesh::LoadOptions loadOptions;
  loadOptions.threads = readingThreads();
  obj2mesh::LoadedObj loaded = obj2mesh::loadObjFile(inputPath, loadOptions);
  if (!loaded.ok()) {
    endLine("failed");
    explain(loaded.failure());
    return false;
  }
  endLine("complete");

  startLine("Converting... ");
  obj2mesh::Options options;
  options.combineMeshes = combineMeshes;
  result = obj2mesh::convertLoadedObj(std::move(loaded), options);
  if (!result.ok()) {
    endLine("failed");
    explain(result.failure());
    return false;
  }
  endLine("complete");
  return true;
}

// Writes the finished buffer to `outputPath` (its extension forced to
// "mesh" first), never over the input file.
bool saveMeshFile(std::string outputPath, const obj2mesh::ConvertResult& result) {
  if (forceMeshExtension(outputPath)) {
    std::printf("Changed output type to '.%s'\n", MESH_EXTENSION.c_str());
  }
  startLine("Saving to '" + outputPath + "'... ");
  if (auto failure = obj2mesh::writeMeshFile(outputPath, result)) {
    endLine("failed");
    explain(*failure);
    return false;
  }
  endLine("complete");
  return true;
}

// A signal that ends the run: the hidden temporary file of a write in
// progress goes first, then the signal takes its course.
void endOnSignal(int signal) {
  obj2mesh::removeTemporaryMeshFiles();
  raise(signal);  // the handler was reset to the default on entry
}

// Every signal that ends a process by default and can be caught, but those
// the parent ignored, which stay ignored.
void cleanUpOnSignals() {
  for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF}) {
    struct sigaction action = {};
    if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = endOnSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace

int runConverter(int argc, const char* const* argv) {
  // A file-size limit makes a write fail instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);
  // The file is the product and the progress lines only report on it: a
  // closed standard output fails their writes instead of ending the run.
  signal(SIGPIPE, SIG_IGN);
  cleanUpOnSignals();
  try {
    ConvertOptions options;
    if (!parseCommandLine(argc, argv, options)) return 0;
    obj2mesh::ConvertResult result;
    if (!loadAndConvert(options.inputPath, options.combineMeshes, result)) return 1;
    if (!saveMeshFile(options.outputPath, result)) return 1;
    return 0;
  } catch (const std::bad_alloc&) {
    // The library reports its own allocation failures; these are the
    // program's few strings.
    if (lineOpen) endLine("failed");
    std::fputs("obj2mesh: out of memory\n", stderr);
    return 1;
  }
}
