#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/trace.h"

namespace base {

// On the host the trace goes to stderr, and only when asked for, so that test
// output stays readable.
void Trace(std::string_view text) {
  static const bool wanted = std::getenv("UPDATER_TRACE") != nullptr;
  if (!wanted) return;
  std::string line("VIRarazo:");
  line.append(text);
  line.push_back('\n');
  std::fputs(line.c_str(), stderr);
}

}  // namespace base
