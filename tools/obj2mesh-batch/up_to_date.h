#pragma once

#include <filesystem>

#include "jobs.h"

// The output is newer than the OBJ file, every library it names that
// exists, and this program (whose modification time is `converterTime`).
bool upToDate(const Job& job, std::filesystem::file_time_type converterTime);
