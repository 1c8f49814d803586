#pragma once

#include <csignal>

// The SIGINT and SIGTERM signals received so far. The first stops the
// taking of new files; the second removes the hidden files of writes in
// progress and ends the process.
extern volatile std::sig_atomic_t signalsSeen;

// Handles SIGINT and SIGTERM so, unless they are ignored.
void catchSignals();
