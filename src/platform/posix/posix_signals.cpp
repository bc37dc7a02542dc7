#include "platform/posix/posix_signals.h"

#include <signal.h>

namespace tavrin {
namespace {

// The one flag the handler sets; the walk polls it between entries.
volatile sig_atomic_t caughtSignal = 0;

extern "C" void noteStopSignal(int signal) {
  if (caughtSignal == 0) caughtSignal = signal;
}

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

// No SA_RESTART: a read or listing that is slow to answer comes back with
// EINTR, and the loops around such calls give up once a stop was asked for.
// SA_RESETHAND: a second signal is not caught, so a stuck run can still be
// ended.
void catchStopSignals() {
  for (const int signal : STOP_SIGNALS) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (const int other : STOP_SIGNALS) sigaddset(&action.sa_mask, other);
    sigaction(signal, &action, nullptr);
  }
}

int caughtStopSignal() { return caughtSignal; }

void endByCaughtStopSignal() {
  const int signal = caughtSignal;
  if (signal == 0) return;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal);
}

}  // namespace tavrin
