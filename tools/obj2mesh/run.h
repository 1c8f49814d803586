#pragma once

// The obj2mesh program: runs the converter library on the command line's
// files, prints the progress lines on standard output and, when a step
// fails, one line on standard error saying why. Returns the exit status.
int runConverter(int argc, const char* const* argv);
