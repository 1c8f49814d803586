#pragma once

#include <vector>

#include "command_line.h"
#include "jobs.h"
#include "progress.h"

// Converts the jobs, or finds them up to date, on settings.jobs threads,
// until all are done or a signal stops the taking of new ones; tells
// `progress` of each as it ends. A file larger than a share of the memory
// runs alone.
void runJobs(std::vector<Job>& jobs, const Settings& settings, Progress& progress);
