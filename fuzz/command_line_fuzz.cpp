// Splits arbitrary bytes as a process command line and interprets the result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_text.h"
#include "shell/command_line.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A lead byte at the very end of the line is taken alone; quoting such an
// argument again would let it take the closing quote.
bool EndsInLoneLeadByte(const std::string& arg) {
  size_t i = 0;
  while (i < arg.size()) {
    if (base::IsLeadByte(static_cast<unsigned char>(arg[i]), base::kCommandLineFirstLeadByte)) {
      if (i + 1 == arg.size()) return true;
      i += 2;
    } else {
      ++i;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> args = shell::SplitCommandLine(line);

  size_t total = 0;
  for (const auto& arg : args) total += arg.size();
  // Each argument is preceded by at least one byte that belongs to none:
  // program path, separator or quote.
  Check(total + args.size() <= size);

  // Every argument, quoted again after a plain program path, splits back the same.
  if (args.empty() || !EndsInLoneLeadByte(args.back())) {
    std::string rebuilt = "Update.exe";
    for (const auto& arg : args) rebuilt += " \"" + arg + "\"";
    Check(shell::SplitCommandLine(rebuilt) == args);
  }

  const auto started = shell::InterpretArguments(args);
  Check(started.has_value() == (args.size() == 2 || args.size() == 4));
  if (started) {
    Check(started->configAddress == args[0] && started->localVersion == args[1]);
    const bool testWord = args.size() == 4 && args[3] == "TestMod";
    Check(started->testMode == testWord);
    Check(started->targetVersion == (testWord ? args[2] : std::string()));
  }
  return 0;
}
