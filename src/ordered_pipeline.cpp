#include "ordered_pipeline.h"

#include <sched.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace obj2mesh {
namespace {

struct Shared {
  std::mutex mutex;
  std::condition_variable madeOne, doneOne;
  size_t made = 0;    // items made so far
  size_t started = 0;  // items a thread has begun
  std::vector<char> done;  // per slot: the item in it is finished
  std::exception_ptr error;
  bool stop = false;
};

void worker(Shared& shared, size_t window, const std::function<void(size_t)>& work) {
  for (;;) {
    size_t item;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.madeOne.wait(lock, [&] { return shared.stop || shared.started < shared.made; });
      if (shared.stop) return;
      item = shared.started++;
    }
    std::exception_ptr error;
    try {
      work(item);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      shared.done[item % window] = 1;
      if (error && !shared.error) shared.error = error;
    }
    shared.doneOne.notify_all();
  }
}

}  // namespace

unsigned availableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int count = CPU_COUNT(&set);
  return count > 0 ? unsigned(count) : 1;
}

void runInOrder(unsigned threads, size_t window, const std::function<bool(size_t)>& make,
                const std::function<void(size_t)>& work, const std::function<bool(size_t)>& take) {
  Shared shared;
  shared.done.assign(window, 0);
  std::vector<std::thread> pool;
  // The threads stop and are joined however the run ends.
  struct Joiner {
    Shared& shared;
    std::vector<std::thread>& pool;
    ~Joiner() {
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stop = true;
      }
      shared.madeOne.notify_all();
      for (std::thread& thread : pool) thread.join();
    }
  } joiner{shared, pool};
  for (unsigned i = 0; i < threads; ++i) {
    try {
      pool.emplace_back(worker, std::ref(shared), window, std::cref(work));
    } catch (const std::system_error&) {
      break;  // fewer threads, down to none
    }
  }

  bool more = true;
  for (size_t taken = 0;; ++taken) {
    while (more && shared.made - taken < window) {
      more = make(shared.made);
      if (!more) break;
      if (pool.empty()) {
        work(shared.made);
        shared.done[shared.made % window] = 1;
      }
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        ++shared.made;
      }
      shared.madeOne.notify_one();
    }
    if (taken == shared.made) return;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.doneOne.wait(lock, [&] { return shared.done[taken % window] || shared.error; });
      if (shared.error) std::rethrow_exception(shared.error);
      shared.done[taken % window] = 0;
    }
    if (!take(taken)) return;
  }
}

}  // namespace obj2mesh
