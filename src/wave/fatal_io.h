// Fatal input/output reporters.
//
// Conventions: a fatal reporter prints one line on standard error with the
// stream position, closes the stream it reports on and ends the run with
// exit status 1. "Ends the run" is done by throwing FatalExit, which the
// entry point catches; code between the throw and the entry point may clean
// up (remove a partial output file) and rethrow. Never thrown from inside a
// parallel region or a signal-processing loop.
#pragma once

#include <cstdio>

namespace pulsemill {

// Thrown to end the process with `status` after the message has been printed.
struct FatalExit {
  int status;  // process exit status, 1 for every fatal I/O error
};

// Prints " read error : %ld\n" (position after the failed read) on standard
// error, closes `file` and throws FatalExit{1}. The caller must not close
// `file` again.
[[noreturn]] void failRead(std::FILE* file);

// Same as failRead with " write error : %ld\n"; used on the output file.
[[noreturn]] void failWrite(std::FILE* file);

// Prints a message of the run on standard error, standard output flushed
// first so that both streams read in order on a shared terminal.
void reportError(const char* message);

}  // namespace pulsemill
