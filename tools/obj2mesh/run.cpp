#include "run.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include <obj2mesh/converter.h>

#include "command_line.h"
#include "output_path.h"

namespace {

// The steps of a run, in order; each has a progress line and concerns one
// path, which a failure of the step names.
enum class Step { Loading, Converting, Saving };

// The paths as the command line gives them (the output's extension forced),
// never changed once set: printing them allocates nothing, so that a run
// out of memory can report too.
const char* inputPath = "";
const char* outputPath = "";

Step step = Step::Loading;  // the step whose line is open, or the next one
bool lineOpen = false;      // a progress line waits for its last word

const char* pathOf(Step s) { return s == Step::Saving ? outputPath : inputPath; }

// Progress goes out a line part at a time, flushed at once. A part that
// cannot be written (standard output closed, say) is dropped and the run
// goes on; the error flag is cleared, so that each later part is tried.
void show(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  std::clearerr(stdout);
}

// Starts the line of step `s`; it shows before the step's work begins, so
// a run that dies in the step still shows which one.
void startLine(Step s) {
  step = s;
  switch (s) {
    case Step::Loading:
      std::fputs("Loading '", stdout);
      std::fputs(inputPath, stdout);
      show("'... ");
      break;
    case Step::Converting:
      show("Converting... ");
      break;
    case Step::Saving:
      std::fputs("Saving to '", stdout);
      std::fputs(outputPath, stdout);
      show("'... ");
      break;
  }
  lineOpen = true;
}

// Ends the open line with `word`; after "complete" the next step is due.
void endLine(const char* word) {
  std::fputs(word, stdout);
  show("\n");
  lineOpen = false;
  if (step != Step::Saving && std::strcmp(word, "complete") == 0) step = Step(int(step) + 1);
}

// One line for standard error, gathered in a fixed buffer rather than
// allocated, so that running out of memory can be reported too. Control
// characters are written as C escapes, so that the line stays one line.
class ErrorLine {
 public:
  ErrorLine() { text("obj2mesh: "); }
  ~ErrorLine() {
    put('\n');
    flush();
  }
  void text(std::string_view part) {
    for (char c : part) put(c);
  }
  void escaped(std::string_view part) {
    for (char c : part) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u >= 0x20 && u != 0x7f) {
        put(c);
      } else if (c == '\n') {
        text("\\n");
      } else if (c == '\t') {
        text("\\t");
      } else if (c == '\r') {
        text("\\r");
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", u);
        text(hex);
      }
    }
  }

 private:
  void put(char c) {
    if (size_ == sizeof buffer_) flush();
    buffer_[size_++] = c;
  }
  void flush() {
    std::fwrite(buffer_, 1, size_, stderr);
    size_ = 0;
  }
  char buffer_[512];
  size_t size_ = 0;
};

// The failed step's line ends in "failed" (a step that had not begun yet
// shows its line first), then standard error says why:
// "obj2mesh: PATH[:LINE]: REASON". A failure without a path names the
// path the step concerns.
void fail(const char* path, uint64_t line, std::string_view reason) {
  if (!lineOpen) startLine(step);
  endLine("failed");
  ErrorLine error;
  error.escaped(*path ? path : pathOf(step));
  if (line) {
    char number[24];
    std::snprintf(number, sizeof number, ":%llu", static_cast<unsigned long long>(line));
    error.text(number);
  }
  error.text(": ");
  error.escaped(reason);
}

void fail(const obj2mesh::Failure& failure) { fail(failure.path.c_str(), failure.line, failure.reason); }

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

// Loads the OBJ file and converts it into `result`; nothing here
// allocates but the library.
bool loadAndConvert(bool combineMeshes, obj2mesh::ConvertResult& result) {
  startLine(Step::Loading);
  obj2mesh::LoadOptions loadOptions;
  loadOptions.threads = readingThreads();
  obj2mesh::LoadedObj loaded = obj2mesh::loadObjFile(inputPath, loadOptions);
  if (!loaded.ok()) {
    fail(loaded.failure());
    return false;
  }
  endLine("complete");

  startLine(Step::Converting);
  obj2mesh::Options options;
  options.combineMeshes = combineMeshes;
  result = obj2mesh::convertLoadedObj(std::move(loaded), options);
  if (!result.ok()) {
    fail(result.failure());
    return false;
  }
  endLine("complete");
  return true;
}

// Writes the finished buffer to the output path, never over a file the
// load read.
bool saveMeshFile(const ConvertOptions& options, const obj2mesh::ConvertResult& result) {
  if (options.outputTypeChanged) {
    std::fputs("Changed output type to '.", stdout);
    std::fputs(MESH_EXTENSION.c_str(), stdout);
    show("'\n");
  }
  startLine(Step::Saving);
  if (auto failure = obj2mesh::writeMeshFile(options.outputPath, result)) {
    fail(*failure);
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
  if (argc > 1) inputPath = argv[1];
  ConvertOptions options;
  obj2mesh::ConvertResult result;
  try {
    if (!parseCommandLine(argc, argv, options)) return 0;
    outputPath = options.outputPath.c_str();
    if (!loadAndConvert(options.combineMeshes, result)) return 1;
    if (!saveMeshFile(options, result)) return 1;
    return 0;
  } catch (const std::bad_alloc&) {
    // The library reports its own allocation failures; this is reading
    // the command line into strings.
    fail("", 0, "out of memory");
    return 1;
  }
}
