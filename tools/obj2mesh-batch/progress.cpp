#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "../escaped.h"

Progress::Progress(const std::vector<Job>& jobs, bool quiet)
    : total_(jobs.size()), quiet_(quiet), terminal_(isatty(STDOUT_FILENO) == 1) {
  for (const Job& job : jobs) totalBytes_ += job.inputBytes;
}

void Progress::start() { start_ = Clock::now(); }

double Progress::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Progress::fileDone(const Job& job) {
  ++done_;
  doneBytes_ += job.inputBytes;
  if (job.status == Status::Failed) {
    ++failed_;
    if (terminal_ && !quiet_) std::fputs("\r\x1b[K", stdout);
    std::fflush(stdout);
    const obj2mesh::Failure& f = job.failure;
    std::string line = escaped(f.path.empty() ? job.input.string() : f.path);
    if (f.line) line += ":" + std::to_string(f.line);
    line += ": " + escaped(f.reason) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  if (quiet_) return;
  if (terminal_) {
    std::fputs(("\r\x1b[K" + statusLine()).c_str(), stdout);
  } else {
    const char* word = job.status == Status::Converted ? "converted" : job.status == Status::UpToDate ? "up to date" : "failed";
    std::printf("%s %s -> %s\n", word, escaped(job.input.string()).c_str(), escaped(job.output.string()).c_str());
  }
  std::fflush(stdout);
}

std::string Progress::statusLine() const {
  const double elapsed = seconds();
  const double rate = elapsed > 0 ? double(doneBytes_) / elapsed : 0;
  char speed[48], eta[48] = "";
  std::snprintf(speed, sizeof speed, ", %.1f MB/s", rate / 1e6);
  if (rate > 0 && done_ < total_)
    std::snprintf(eta, sizeof eta, ", ETA %.0f s", double(totalBytes_ - doneBytes_) / rate);
  const std::string count = std::to_string(done_) + "/" + std::to_string(total_);
  const std::string failed = ", " + std::to_string(failed_) + " failed";
  // The fullest line that leaves the last column free, so that the terminal
  // never wraps it: the speed goes first, then the word "files", then the
  // time left and the failures; a bare count is cut.
  struct winsize size {};
  const size_t width = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col - 1u : SIZE_MAX;
  for (const std::string& line : {count + " files" + failed + speed + eta, count + " files" + failed + eta,
                                  count + failed + eta, count + failed, count})
    if (line.size() <= width) return line;
  return count.substr(0, width);
}

void Progress::finish() {
  if (terminal_ && !quiet_ && total_) std::fputs("\n", stdout);
}

int finishRun(const std::vector<Job>& jobs, double seconds, bool quiet, bool reportFailed) {
  size_t converted = 0, upToDate = 0, failed = 0, pending = 0;
  for (const Job& job : jobs) {
    converted += job.status == Status::Converted;
    upToDate += job.status == Status::UpToDate;
    failed += job.status == Status::Failed;
    pending += job.status == Status::Pending;
  }
  if (!quiet) {
    std::printf("converted %zu, up to date %zu, failed %zu", converted, upToDate, failed);
    if (pending) std::printf(", not started %zu", pending);
    std::printf(" (%.1f s)\n", seconds);
    std::fflush(stdout);
  }
  return failed || pending || reportFailed ? 1 : 0;
}
