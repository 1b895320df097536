#include "app/interrupt_cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

namespace pulsemill {

namespace {

// Read by the handler; a lock-free atomic pointer is async-signal-safe.
std::atomic<const char*> armedPath{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "handler needs a lock-free pointer");

extern "C" void removeOutputAndReraise(int signalNumber) {
  const char* path = armedPath.exchange(nullptr);
  if (path != nullptr) unlink(path);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

void installInterruptCleanup() {
  struct sigaction action = {};
  action.sa_handler = removeOutputAndReraise;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction previous;
    // A signal ignored by the parent (nohup, background jobs) stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

void armOutputRemoval(const char* path) { armedPath.store(path); }

void disarmOutputRemoval() { armedPath.store(nullptr); }

}  // namespace pulsemill
