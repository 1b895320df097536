// Removal of a partial output when the run is interrupted (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT), killed by SIGPIPE (its console piped into a reader that
// has gone, such as `head`) or by any other signal a handler can catch whose
// default ends the process (SIGALRM, SIGUSR1, ...). While an output path is
// armed, the signal handler unlinks it (every armed output, in a batch) and re-raises the signal with its
// default action, so the process still ends by that signal (exit status
// 128 + signal number in a shell). SIGXFSZ is ignored: a write past the file
// size limit fails as a write error. Only the
// temporary file a run writes its output into is ever armed (files.h).
#pragma once

namespace pulsemill {

// Installs the handlers; call once at start-up.
void installInterruptCleanup();

// Arms removal of `path` (which must stay valid until disarmed), beside
// every other armed path; thread-safe. The slot to disarm, or -1 when all
// 64 slots are taken (an interrupt then leaves that file).
int armOutputRemoval(const char* path);

// Disarms a slot: its output is complete, or already removed. -1 is none.
void disarmOutputRemoval(int slot);

}  // namespace pulsemill
