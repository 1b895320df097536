#include "app/startup.h"

#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/batch.h"
#include "app/command_line.h"
#include "app/gnu_command_line.h"
#include "app/design_cache.h"
#include "app/job.h"
#include "base/interrupt_cleanup.h"
#include "base/kernel_isa.h"

namespace pulsemill {

namespace {

void printVersion(Report& report) {
  report.out("pulsemill %s (kernel variants this CPU runs:%s; the fastest on the run's filter "
             "is measured at start-up unless PULSEMILL_ISA names one)\n",
             kPulsemillVersion, supportedIsaNames().c_str());
}

Status startAndRun(int argc, const char* const* argv, RunSettings& settings, Report& report) {
  Status status = parseCommandLine(argc, argv, settings);
  if (!status.ok()) return status;
  for (const std::string& warning : settings.warnings) report.err("%s", warning.c_str());
  if (settings.request == Request::Help) {
    report.out("%s", helpText().c_str());
    return Status();
  }
  if (settings.request == Request::Version) {
    printVersion(report);
    return Status();
  }
  KernelIsa isa;
  bool isaForced = false;
  status = chooseKernelIsa(std::getenv("PULSEMILL_ISA"), isa, isaForced);
  if (!status.ok()) return status;
  installInterruptCleanup();

  DesignCache designs(isa, isaForced);
  // Every core, capped by OMP_NUM_THREADS: a single run has the process.
  return runJob(settings, JobContext{report, omp_get_max_threads(), designs}).status;
}

// A GNU-style line: the batch driver, for one file as for many.
int runGnuStyle(int argc, const char* const* argv, Report& console) {
  BatchSettings settings;
  Status status = parseGnuCommandLine(argc, argv, settings);
  if (status.ok() && settings.request == Request::Help) console.out("%s", gnuHelpText().c_str());
  if (status.ok() && settings.request == Request::Version) printVersion(console);
  if (!status.ok() || settings.request != Request::Convert) {
    status.report(console);
    console.flush();
    return status.exitStatus();
  }
  KernelIsa isa;
  bool isaForced = false;
  status = chooseKernelIsa(std::getenv("PULSEMILL_ISA"), isa, isaForced);
  if (!status.ok()) {
    status.report(console);
    return status.exitStatus();
  }
  installInterruptCleanup();
  for (const std::string& warning : settings.run.warnings) console.err("%s", warning.c_str());
  return runBatch(settings, isa, isaForced, console);
}

}  // namespace

int runPulsemill(int argc, const char* const* argv) {
  ConsoleReport console;
  // "--version" alone keeps the slash grammar's path; "--help" and "-h" are GNU-style.
  const bool alone = argc == 2 && std::string(argv[1]) == "--version";
  if (!alone && isGnuCommandLine(argc, argv)) return runGnuStyle(argc, argv, console);
  RunSettings settings;
  const Status status = startAndRun(argc, argv, settings, console);
  status.onFiles(settings.inputPath, settings.outputPath).report(console);
  console.flush();
  return status.exitStatus();
}

}  // namespace pulsemill
