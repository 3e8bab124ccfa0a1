#pragma once
// The batch script that replaces the updater's own executable after it exits.
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

inline constexpr char kReplacementScriptName[] = "VaVeri_Update.bat";
// The new executable's copy beside the old one, before its rename.
inline constexpr char kReplacementScriptTemporaryName[] = "VaVeri_Update.tmp";

// The script's lines, each ending in CR LF. Only ASCII: cmd reads a batch
// file in the console's code page, whatever that is, so the script names
// nothing of the installation itself. It names no folder either: it is
// started with the program folder, where it lies, as its working directory,
// and every name in it is relative to that. The updater's process id and
// file name come as its two arguments.
std::string ReplacementScriptText();

// The script's arguments for the updater's process id and file name (GBK), to
// be passed in UTF-16 so that every code page reads the name the same way.
std::string ReplacementScriptArguments(uint32_t processId, std::string_view exeName);

}  // namespace engine
