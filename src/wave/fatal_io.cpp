#include "wave/fatal_io.h"

namespace pulsemill {

[[noreturn]] static void failWith(std::FILE* file, const char* format) {
  long position = std::ftell(file);
  std::fflush(stdout);  // keep the report ahead of the error on a shared terminal
  std::fprintf(stderr, format, position);
  std::fclose(file);
  throw FatalExit{1};
}

void reportError(const char* message) {
  std::fflush(stdout);
  std::fputs(message, stderr);
}

void failRead(std::FILE* file) { failWith(file, " read error : %ld\n"); }

void failWrite(std::FILE* file) { failWith(file, " write error : %ld\n"); }

}  // namespace pulsemill
