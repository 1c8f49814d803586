// Preloaded into the obj2mesh program by the interruption suite to make
// allocations fail: FAILING_ALLOCATION=N fails the Nth call of malloc,
// calloc or realloc counted from the start of main, and "N+" that one and
// every later one. The runtime's allocations before main never fail.

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace {

using Main = int (*)(int, char**, char**);

Main programMain = nullptr;
long target = 0;  // 0: nothing fails
bool forGood = false;
std::atomic<long> counted{0};
std::atomic<bool> armed{false};

bool fails() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  const long n = ++counted;
  if (n != target && !(forGood && n > target)) return false;
  errno = ENOMEM;
  return true;
}

int countingMain(int argc, char** argv, char** environment) {
  if (const char* value = std::getenv("FAILING_ALLOCATION")) {
    char* end = nullptr;
    target = std::strtol(value, &end, 10);
    forGood = *end == '+';
  }
  armed = target > 0;
  return programMain(argc, argv, environment);
}

}  // namespace

extern "C" {

void* malloc(size_t size) { return fails() ? nullptr : __libc_malloc(size); }
void* calloc(size_t count, size_t size) { return fails() ? nullptr : __libc_calloc(count, size); }
void* realloc(void* block, size_t size) { return fails() ? nullptr : __libc_realloc(block, size); }

// The C library calls this with the program's main; the count starts
// where main does.
int __libc_start_main(Main main, int argc, char** argv, void (*init)(), void (*fini)(), void (*rtldFini)(),
                      void* stackEnd) {
  using Start = int (*)(Main, int, char**, void (*)(), void (*)(), void (*)(), void*);
  programMain = main;
  const auto start = reinterpret_cast<Start>(dlsym(RTLD_NEXT, "__libc_start_main"));
  return start(countingMain, argc, argv, init, fini, rtldFini, stackEnd);
}

}  // extern "C"
