#include "signals.h"

#include <signal.h>

#include <obj2mesh/converter.h>

volatile std::sig_atomic_t signalsSeen = 0;

namespace {

void onSignal(int signal) {
  if (++signalsSeen < 2) return;
  obj2mesh::removeTemporaryMeshFiles();
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);
}

}  // namespace

void catchSignals() {
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction action = {};
    if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}
