#include <windows.h>

#include <string>

#include "base/trace.h"

namespace base {

namespace {
constexpr char kTracePrefix[] = "VIRarazo:";
}

void Trace(std::string_view text) {
  // The A call hands the debugger the bytes unchanged, which keeps them GBK.
  std::string line(kTracePrefix);
  line.append(text);
  OutputDebugStringA(line.c_str());
}

}  // namespace base
