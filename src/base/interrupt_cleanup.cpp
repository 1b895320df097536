#include "base/interrupt_cleanup.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

namespace pulsemill {

namespace {

// Every signal whose default action ends the process and that can be
// caught (SIGKILL and SIGSTOP cannot be).
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGPIPE, SIGQUIT,
                                   SIGALRM, SIGUSR1,   SIGUSR2, SIGVTALRM, SIGPROF};

// How long the signal thread leaves the runs to remove their own files: a
// run checks between blocks, a few milliseconds apart, unless it is stuck
// in a read or write.
constexpr std::chrono::seconds kRemovalGrace(2);

// Also stored by the SIGPIPE handler: a lock-free store is async-signal-safe.
std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the SIGPIPE handler needs a lock-free flag");

// Set once at installation, before anything reads them.
sigset_t takenSignals;  // kCleanupSignals but those ignored at start
pthread_t signalThread;

// The temporary files to remove. Never destroyed: the signal thread may
// still use it while another thread exits the process.
struct Registry {
  std::mutex mutex;
  std::condition_variable emptied;
  std::set<std::string> paths;
};

Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

// A write to a pipe without a reader raises SIGPIPE in the writing thread
// alone, where sigwait cannot take it: handed on to the signal thread (the
// write itself fails with EPIPE). The flag is set here so that the writer's
// next check already sees it.
extern "C" void handOnBrokenPipe(int) {
  stopFlag.store(true);
  pthread_kill(signalThread, SIGPIPE);
}

[[noreturn]] void endBySignal(int signalNumber) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signalNumber);
  _exit(128 + signalNumber);  // not reached: the default action ends the process
}

void* takeSignals(void*) {
  int signalNumber = 0;
  while (sigwait(&takenSignals, &signalNumber) != 0) {
  }
  stopFlag.store(true);
  Registry& files = registry();
  {
    std::unique_lock<std::mutex> lock(files.mutex);
    files.emptied.wait_for(lock, kRemovalGrace, [&files] { return files.paths.empty(); });
    // Nothing is registered after this: creation checks the flag under the lock.
    for (const std::string& path : files.paths) unlink(path.c_str());
  }
  endBySignal(signalNumber);
}

// A thread that would end the process while a signal is ending it (the
// entry point returning once its run has failed with Interrupted) waits
// for the signal thread instead, so that the files go and the exit status
// stays the signal's. So does one that exits with such a signal pending:
// the signal thread takes it at once. The wait is bounded all the same, in
// case the pending signal was aimed at this very thread, where sigwait
// cannot take it.
extern "C" void awaitSignalAtExit() {
  bool arrived = stopFlag.load();
  sigset_t pending;
  if (!arrived && sigpending(&pending) == 0) {
    for (int signalNumber : kCleanupSignals)
      arrived = arrived || (sigismember(&takenSignals, signalNumber) == 1 &&
                            sigismember(&pending, signalNumber) == 1);
  }
  if (arrived) std::this_thread::sleep_for(kRemovalGrace * 5);
}

void install() {
  sigemptyset(&takenSignals);
  for (int signalNumber : kCleanupSignals) {
    struct sigaction previous;
    // A signal ignored by the parent (nohup, background jobs) stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaddset(&takenSignals, signalNumber);
  }
  // SIGPIPE too, until its handler is in place; the signal thread keeps it
  // blocked for sigwait.
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &takenSignals, &before);
  if (pthread_create(&signalThread, nullptr, takeSignals, nullptr) != 0) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);  // no cleanup: the defaults stay
    return;
  }
  pthread_detach(signalThread);
  if (sigismember(&takenSignals, SIGPIPE) == 1) {
    struct sigaction action = {};
    action.sa_handler = handOnBrokenPipe;
    action.sa_mask = takenSignals;
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &brokenPipe, nullptr);
  }
  std::atexit(awaitSignalAtExit);
}

}  // namespace

void installInterruptCleanup() {
  static std::once_flag once;
  std::call_once(once, install);
  // Past a file size limit (ulimit -f) the write fails with EFBIG and the
  // run ends as any write error does, instead of dying by SIGXFSZ.
  signal(SIGXFSZ, SIG_IGN);
}

bool stopRequested() { return stopFlag.load(); }

int createRegisteredFile(const std::function<int(std::string& path)>& create, std::string& path) {
  Registry& files = registry();
  std::lock_guard<std::mutex> lock(files.mutex);
  if (stopFlag.load()) {
    errno = EINTR;
    return -1;
  }
  const int fd = create(path);
  if (fd >= 0) files.paths.insert(path);
  return fd;
}

void unregisterFile(const std::string& path) {
  Registry& files = registry();
  std::lock_guard<std::mutex> lock(files.mutex);
  files.paths.erase(path);
  if (files.paths.empty()) files.emptied.notify_all();
}

}  // namespace pulsemill
