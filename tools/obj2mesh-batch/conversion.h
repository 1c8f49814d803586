#pragma once

#include "command_line.h"
#include "jobs.h"

// Converts one file as obj2mesh does when run from the file's folder, on
// `readingThreads` reading threads (0: as many as the library chooses), and
// sets the job's status, counts and failure. Once the mesh is written, so is
// its record (records.h).
void convert(Job& job, const Settings& settings, unsigned readingThreads);
