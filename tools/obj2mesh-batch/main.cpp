// obj2mesh-batch: converts many OBJ files on threads of one process, skips
// the outputs that are up to date, and prints one line per failure and a
// summary. Each concern has its file: command_line, jobs (finding the
// files), up_to_date, conversion, scheduling (threads), signals, progress
// (and the summary) and report (the --report file).

#include <csignal>
#include <cstdio>

#include "../escaped.h"
#include "command_line.h"
#include "jobs.h"
#include "progress.h"
#include "report.h"
#include "scheduling.h"
#include "signals.h"

int main(int argc, char** argv) {
  // A file-size limit or a closed standard output fails a write instead of
  // ending the run.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  const Settings settings = parseCommandLine(argc, argv);
  std::vector<Job> jobs = findJobs(settings);
  catchSignals();
  Progress progress(jobs, settings.quiet);
  progress.start();
  runJobs(jobs, settings, progress);
  progress.finish();

  bool reportFailed = false;
  if (!settings.reportPath.empty() && !writeReport(settings.reportPath, jobs)) {
    std::fprintf(stderr, "obj2mesh-batch: %s: cannot write the report\n", escaped(settings.reportPath).c_str());
    reportFailed = true;
  }
  return finishRun(jobs, progress.seconds(), settings.quiet, reportFailed);
}
