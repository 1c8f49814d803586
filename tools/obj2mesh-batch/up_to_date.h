#pragma once

#include <obj2mesh/converter.h>

#include "jobs.h"

// Whether converting the job's input with `options` would make the output
// that is there: its record (see records.h) is whole, is of this converter
// build, these options, this input and the output as it is now, and every
// file the conversion read, or looked for in vain, is as it was then. A
// file changed in the clock tick in which the output was written may have
// changed after it was read, so it counts as changed.
bool upToDate(const Job& job, const obj2mesh::Options& options);
