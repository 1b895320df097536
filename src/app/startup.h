// The program's entry point: which grammar the command line is in, the
// kernel variant, interrupt cleanup, then one job (the slash grammar) or a
// batch (the GNU-style grammar).
#pragma once

namespace pulsemill {

// The whole program: parses, chooses the kernel variant (PULSEMILL_ISA),
// opens and validates the input, resolves the parameters, prints the
// parameter line and runs the conversion; reports the failure that ends the
// run, if any. Returns the process exit status (0 done, 1 usage, variant,
// open, header, read or write failure, 2 clip).
int runPulsemill(int argc, const char* const* argv);

}  // namespace pulsemill
