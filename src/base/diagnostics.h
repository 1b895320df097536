// The diagnostic files of the debug switch.
//
// Conventions: a Diagnostics value is handed to every design stage that can
// write diagnostics; a disabled one (the default) writes nothing and the
// stages print no diagnostic lines. Each file's name is the run's prefix
// ("C:\TEMP\DSD%d_T%d_" with the effective DSD multiple and tap count; on
// this platform the backslashes are ordinary characters, so the files land
// in the current directory) followed by the file's own suffix. A file that
// cannot be opened is skipped silently: diagnostics never stop a run. The
// stages print their diagnostic lines on the run's report.
#pragma once

#include <cstdio>
#include <string>

#include "base/report.h"
#include "base/status.h"

namespace pulsemill {

enum class DiagnosticFile {
  ImpulseResponse,  // "CalcFIRCoeff.txt": the centred taps before the window
  WindowedKernel,   // "KiaserFIRCoeff.txt": the taps after the window
  GainResponse,     // "FreqGain.txt": the kernel's gain response in dB
  ShaperScript,     // "7ThNoiseShaper.sce": a Scilab script of the noise shaper
};

class Diagnostics {
 public:
  Diagnostics() = default;  // disabled
  Diagnostics(std::string prefix, Report& report)
      : enabled_(true), prefix_(std::move(prefix)), report_(&report) {}

  bool enabled() const { return enabled_; }
  // Where an enabled run's diagnostic lines go.
  Report& report() const { return *report_; }
  std::string fileName(DiagnosticFile file) const;

  // Writes `count` values, one "%3.12lf\n" line each, replacing the file.
  // Nothing when disabled; open and write errors are ignored.
  void dumpValues(DiagnosticFile file, const double* values, int count) const;

  // Creates the file for text (null when disabled or not openable); the
  // caller closes it.
  std::FILE* createText(DiagnosticFile file) const;

  // SameFile (detail: that name) when a diagnostic file of this run would
  // replace the file open as `input`; Ok when disabled.
  Status checkNoneIsInput(std::FILE* input) const;

 private:
  bool enabled_ = false;
  std::string prefix_;
  Report* report_ = nullptr;
};

}  // namespace pulsemill
