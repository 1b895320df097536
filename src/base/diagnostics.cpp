#include "base/diagnostics.h"

#include "base/files.h"

namespace pulsemill {

namespace {

// "KiaserFIRCoeff" is the dump file's own name, its spelling kept on purpose.
constexpr const char* kSuffixes[] = {"CalcFIRCoeff.txt", "KiaserFIRCoeff.txt", "FreqGain.txt",
                                     "7ThNoiseShaper.sce"};
constexpr DiagnosticFile kAllFiles[] = {DiagnosticFile::ImpulseResponse,
                                        DiagnosticFile::WindowedKernel,
                                        DiagnosticFile::GainResponse, DiagnosticFile::ShaperScript};

}  // namespace

std::string Diagnostics::fileName(DiagnosticFile file) const {
  return prefix_ + kSuffixes[static_cast<int>(file)];
}

std::FILE* Diagnostics::createText(DiagnosticFile file) const {
  return enabled_ ? std::fopen(fileName(file).c_str(), "w") : nullptr;
}

void Diagnostics::dumpValues(DiagnosticFile file, const double* values, int count) const {
  std::FILE* out = createText(file);
  if (out == nullptr) return;
  for (int i = 0; i < count; ++i) std::fprintf(out, "%3.12lf\n", values[i]);
  std::fclose(out);
}

Status Diagnostics::checkNoneIsInput(std::FILE* input) const {
  if (!enabled_) return Status();
  for (DiagnosticFile file : kAllFiles) {
    const std::string name = fileName(file);
    if (isSameFile(input, name)) return Status(StatusCode::SameFile, name);
  }
  return Status();
}

}  // namespace pulsemill
