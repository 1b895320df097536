#include "base/interrupt_cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace pulsemill {

namespace {

// Read by the handler; lock-free atomic pointers are async-signal-safe. One
// slot per output being written at once (a batch runs several).
constexpr int kSlots = 64;
std::atomic<const char*> armedPaths[kSlots];

// Every signal whose default action ends the process and that a handler
// can catch (SIGKILL and SIGSTOP cannot be).
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGPIPE, SIGQUIT,
                                   SIGALRM, SIGUSR1,   SIGUSR2, SIGVTALRM, SIGPROF};
static_assert(std::atomic<const char*>::is_always_lock_free, "handler needs a lock-free pointer");

extern "C" void removeOutputAndReraise(int signalNumber) {
  // load, not exchange: a second signal handled at the same time (another
  // thread, or nested) must not find the path gone and end the process
  // before the first handler has unlinked it. A second unlink is harmless.
  for (std::atomic<const char*>& slot : armedPaths) {
    const char* path = slot.load();
    if (path != nullptr) unlink(path);
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

void installInterruptCleanup() {
  struct sigaction action = {};
  action.sa_handler = removeOutputAndReraise;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kCleanupSignals) sigaddset(&action.sa_mask, signalNumber);
  for (int signalNumber : kCleanupSignals) {
    struct sigaction previous;
    // A signal ignored by the parent (nohup, background jobs) stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
  // Past a file size limit (ulimit -f) the write fails with EFBIG and the
  // run ends as any write error does, instead of dying by SIGXFSZ.
  signal(SIGXFSZ, SIG_IGN);
}

int armOutputRemoval(const char* path) {
  for (int i = 0; i < kSlots; ++i) {
    const char* empty = nullptr;
    if (armedPaths[i].compare_exchange_strong(empty, path)) return i;
  }
  return -1;
}

void disarmOutputRemoval(int slot) {
  if (slot >= 0 && slot < kSlots) armedPaths[slot].store(nullptr);
}

}  // namespace pulsemill
