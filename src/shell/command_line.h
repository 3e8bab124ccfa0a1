#pragma once
// The updater's command line: the main program starts it with the address of
// the update configuration document and the installed version, and a test
// build of the main program may add a target version and the word "TestMod".
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shell {

// Splits the whole process command line into its arguments, skipping the
// program path. Quotes group bytes and are dropped; there are no escapes.
// A byte of 0x80 or above takes the byte after it along, so the second byte
// of a two-byte character never ends an argument.
std::vector<std::string> SplitCommandLine(std::string_view line);

struct StartArguments {
  std::string configAddress;
  std::string localVersion;
  bool testMode = false;
  std::string targetVersion;  // set only in test mode
};

// Accepts two or four arguments; anything else gives nullopt. Test mode needs
// exactly four, the fourth being "TestMod" byte for byte.
std::optional<StartArguments> InterpretArguments(const std::vector<std::string>& args);

}  // namespace shell
