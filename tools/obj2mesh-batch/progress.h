#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "jobs.h"

// What a run shows as it goes: on a terminal one line updated in place,
// fitted to its width, otherwise one line per file; and each failure as one
// line on standard error, quiet or not.
class Progress {
 public:
  Progress(const std::vector<Job>& jobs, bool quiet);

  // The clock of the rate, the time left and the summary starts.
  void start();
  // A job is done. Called for one job at a time.
  void fileDone(const Job& job);
  // Ends the line updated in place.
  void finish();
  double seconds() const;

 private:
  using Clock = std::chrono::steady_clock;

  // "done/total files, F failed, R MB/s, ETA S s", fitted to the terminal.
  std::string statusLine() const;

  const size_t total_;
  const bool quiet_, terminal_;
  Clock::time_point start_;
  size_t done_ = 0, failed_ = 0;
  uintmax_t totalBytes_ = 0, doneBytes_ = 0;
};

// "converted N, up to date M, failed F (S s)", with the files not started
// when there are any. Returns the exit status: 0 when every file was
// converted or up to date, 1 otherwise or when `reportFailed`.
int finishRun(const std::vector<Job>& jobs, double seconds, bool quiet, bool reportFailed);
