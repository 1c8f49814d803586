#pragma once

#include <string>
#include <vector>

#include "jobs.h"

// Writes the --report file: a JSON array with one entry per file that was
// looked at (files an interruption left untouched have none). False when
// the file cannot be written.
bool writeReport(const std::string& path, const std::vector<Job>& jobs);
