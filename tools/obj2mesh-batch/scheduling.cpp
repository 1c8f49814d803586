#include "scheduling.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "conversion.h"
#include "signals.h"
#include "up_to_date.h"

namespace {

class Scheduler {
 public:
  Scheduler(std::vector<Job>& jobs, const Settings& settings, Progress& progress)
      : jobs_(jobs), settings_(settings), progress_(progress) {
    // A file larger than a share of the memory runs alone.
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const uintmax_t memory = pages > 0 && pageSize > 0 ? uintmax_t(pages) * uintmax_t(pageSize) : uintmax_t(1) << 32;
    largeFile_ = memory / (4 * uintmax_t(settings_.jobs));
  }

  void go() {
    std::vector<std::thread> threads;
    const unsigned count = unsigned(std::min<size_t>(settings_.jobs, std::max<size_t>(jobs_.size(), 1)));
    for (unsigned i = 0; i < count; ++i) threads.emplace_back([this] { work(); });
    for (std::thread& thread : threads) thread.join();
  }

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

      const auto began = std::chrono::steady_clock::now();
      if (!settings_.force && upToDate(job, settings_.options))
        job.status = Status::UpToDate;
      else
        convert(job, settings_, readingThreads);
      job.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();

      lock.lock();
      --running_;
      largeRunning_ = false;
      changed_.notify_all();
      progress_.fileDone(job);
    }
  }

  std::vector<Job>& jobs_;
  const Settings& settings_;
  Progress& progress_;
  uintmax_t largeFile_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  unsigned running_ = 0, largeWaiting_ = 0;
  bool largeRunning_ = false;
};

}  // namespace

void runJobs(std::vector<Job>& jobs, const Settings& settings, Progress& progress) {
  Scheduler(jobs, settings, progress).go();
}
