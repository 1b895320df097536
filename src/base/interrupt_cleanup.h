// Removal of the partial outputs when a signal ends the run: SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGPIPE (a console piped into a reader that has
// gone, such as `head`) and every other signal a process can catch whose
// default ends it (SIGALRM, SIGUSR1, ...).
//
// Conventions: no handler does the work. The signals are blocked in every
// thread (installInterruptCleanup() blocks them in the main thread before
// any other exists; threads inherit the mask) and one thread of ours takes
// them with sigwait. It sets the stop flag (stopRequested()); each run then
// removes its own temporary file at its next check (between blocks) and
// fails with Interrupted, a status that is never printed. The signal thread
// waits up to 2 s for the registered files to go, removes those still
// registered, and ends the process by the same signal with its default
// action (exit status 128 + signal number in a shell). Meanwhile the
// console prints nothing more, and a thread that would exit the process
// waits for the signal instead. SIGPIPE raised by a write is aimed at the
// writing thread, where sigwait cannot see it: it is caught instead, by a
// handler that sets the stop flag and hands the signal to our thread. A
// signal ignored at start (nohup) stays ignored. SIGXFSZ is ignored: a
// write past the file size limit fails as a write error. Only the temporary
// file a run writes its output into is ever registered (files.h).
#pragma once

#include <functional>
#include <string>

namespace pulsemill {

// Blocks the signals and starts the thread that takes them; call at
// start-up, before any other thread exists. Later calls do nothing.
void installInterruptCleanup();

// True once a signal is ending the run. Thread-safe.
bool stopRequested();

// Calls `create`, which makes a new file, sets `path` to its name and
// returns its descriptor (or -1 with errno set), and registers `path` for
// removal, as one step: the signal thread finds the file registered or not
// made. Once a stop is requested nothing is made: -1, errno EINTR.
// Thread-safe; any number of files may be registered.
int createRegisteredFile(const std::function<int(std::string& path)>& create, std::string& path);

// Unregisters `path`: its output is complete, or removed. Thread-safe.
void unregisterFile(const std::string& path);

}  // namespace pulsemill
