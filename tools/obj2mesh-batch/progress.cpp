#include "progress.h"

#include <unistd.h>

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
    const double elapsed = seconds();
    const double rate = elapsed > 0 ? double(doneBytes_) / elapsed : 0;
    char text[160];
    std::snprintf(text, sizeof text, "\r\x1b[K%zu/%zu files, %zu failed, %.1f MB/s", done_, total_, failed_,
                  rate / 1e6);
    std::fputs(text, stdout);
    if (rate > 0 && done_ < total_) std::printf(", ETA %.0f s", double(totalBytes_ - doneBytes_) / rate);
  } else {
    const char* word = job.status == Status::Converted ? "converted" : job.status == Status::UpToDate ? "up to date" : "failed";
    std::printf("%s %s -> %s\n", word, escaped(job.input.string()).c_str(), escaped(job.output.string()).c_str());
  }
  std::fflush(stdout);
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
