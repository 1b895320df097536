#include "filter/dump_values.h"

#include <cstdio>
#include <vector>

namespace pulsemill {

std::string DebugPrefix;

std::string diagnosticFileName(const char* nameFormat) {
  int length = std::snprintf(nullptr, 0, nameFormat, DebugPrefix.c_str());
  std::vector<char> name(static_cast<std::size_t>(length > 0 ? length : 0) + 1);
  std::snprintf(name.data(), name.size(), nameFormat, DebugPrefix.c_str());
  return name.data();
}

void dumpValues(const char* nameFormat, const double* values, int count) {
  std::FILE* file = std::fopen(diagnosticFileName(nameFormat).c_str(), "w");
  if (file == nullptr) return;
  for (int i = 0; i < count; ++i) std::fprintf(file, "%3.12lf\n", values[i]);
  std::fclose(file);
}

}  // namespace pulsemill
